// Sessions, task and run requests and the tool registry.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "domain/chat.h"
#include "domain/event.h"
#include "domain/run.h"
#include "domain/skill.h"
#include "domain/tool.h"
#include "store/memory_store.h"

namespace dovek {
namespace {

using chat::Message;
using chat::Role;

run::Task make_task(std::string id, std::string title) {
  run::Task t;
  t.id = std::move(id);
  t.title = std::move(title);
  return t;
}

TEST(Session, NewSessionAndPushOrder) {
  chat::Session s = chat::Session::create("s1");
  EXPECT_EQ(s.id, "s1");
  EXPECT_TRUE(s.messages.empty());
  chat::Session bare;
  bare.id = "s1";
  EXPECT_EQ(s, bare);  // every optional attribute absent
  s.push({"one", Role::kUser});
  s.push({"two", Role::kAssistant});
  s.push({"three", Role::kUser});
  EXPECT_EQ(s.messages.size(), 3u);
  EXPECT_EQ(s.messages.back().content, "three");
  EXPECT_EQ(s.messages.to_vector(), (std::vector<Message>{{"one", Role::kUser},
                                                          {"two", Role::kAssistant},
                                                          {"three", Role::kUser}}));
}

TEST(Session, CopiesBranchWithoutSeeingEachOther) {
  chat::MessageList base;
  base.push_back({"a", Role::kUser});
  chat::MessageList left = base, right = base;
  left.push_back({"l", Role::kAssistant});
  right.push_back({"r", Role::kAssistant});
  right.push_back({"r2", Role::kUser});
  EXPECT_EQ(base.size(), 1u);
  EXPECT_EQ(left.size(), 2u);
  EXPECT_EQ(right.to_vector()[1].content, "r");
  EXPECT_EQ(right.to_vector()[2].content, "r2");
  EXPECT_FALSE(left == right);
  chat::MessageList same;
  same.push_back({"a", Role::kUser});
  same.push_back({"l", Role::kAssistant});
  EXPECT_TRUE(left == same);
}

TEST(Session, LongHistoryIsReleasedWithoutDeepRecursion) {
  // Every push after a branch pushed first starts a new chunk: one nested
  // destructor per chunk would need far more stack than a thread has.
  auto list = std::make_unique<chat::MessageList>();
  for (int i = 0; i < 150'000; ++i) {
    chat::MessageList branch = *list;
    branch.push_back({"b", Role::kUser});
    list->push_back({"", Role::kUser});
  }
  chat::MessageList branch = *list;
  branch.push_back({"x", Role::kUser});
  list.reset();  // shared with `branch`: nothing freed yet
  EXPECT_EQ(branch.size(), 150'001u);
  EXPECT_EQ(branch.back(), (Message{"x", Role::kUser}));
  branch = chat::MessageList();  // the whole chain goes now
  EXPECT_TRUE(branch.empty());
}

// Copies of one list pushed from several threads at once: exactly one may
// append in place, every other starts its own chunk, and each copy sees the
// shared prefix plus only its own messages.
TEST(Session, CopiesPushedFromThreadsAtOnceKeepTheirOwnMessages) {
  chat::MessageList base;
  base.push_back({"shared", Role::kUser});
  constexpr int kThreads = 4;
  constexpr int kPushes = 2000;
  std::vector<chat::MessageList> copies(kThreads, base);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&copies, t] {
      for (int i = 0; i < kPushes; ++i) {
        copies[t].push_back({std::to_string(t) + ":" + std::to_string(i), Role::kAssistant});
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(base.to_vector(), (std::vector<Message>{{"shared", Role::kUser}}));
  for (int t = 0; t < kThreads; ++t) {
    std::vector<chat::Message> v = copies[t].to_vector();
    ASSERT_EQ(v.size(), size_t{kPushes + 1});
    EXPECT_EQ(v[0].content, "shared");
    for (int i = 0; i < kPushes; ++i) {
      ASSERT_EQ(v[i + 1].content, std::to_string(t) + ":" + std::to_string(i));
    }
  }
}

// Message sizes across the one- and two-byte headers and the chunk sizes,
// roles alternating; a copy taken halfway keeps seeing only its prefix.
TEST(Session, PackedMessagesReadBackExactly) {
  chat::MessageList list;
  std::vector<chat::Message> expected;
  chat::MessageList half;
  for (size_t n : {0, 1, 63, 64, 127, 128, 8191, 8192, 70000, 5, 65536, 3}) {
    chat::Message m{std::string(n, static_cast<char>('a' + n % 26)),
                    expected.size() % 2 ? Role::kAssistant : Role::kUser};
    list.push_back(m);
    expected.push_back(std::move(m));
    if (expected.size() == 6) half = list;
  }
  EXPECT_EQ(list.to_vector(), expected);
  EXPECT_EQ(list.back(), expected.back());
  EXPECT_EQ(half.to_vector(), std::vector<chat::Message>(expected.begin(), expected.begin() + 6));
}

// Chat-like histories, where replies quote the message before them and
// repeat the start of earlier replies, read back exactly: at every boundary
// of the shortest shared run, with copies branching off mid-way, across
// chunks, and with quotes that overlap the repeated start.
TEST(Session, MessagesThatRepeatEarlierOnesReadBackExactly) {
  const std::string skills(1500, 's');
  chat::MessageList list;
  std::vector<Message> expected;
  std::vector<std::pair<chat::MessageList, size_t>> branches;
  auto push = [&](Message m) {
    list.push_back(m);
    expected.push_back(std::move(m));
    ASSERT_EQ(list.back(), expected.back());
  };
  for (int turn = 0; turn < 120; ++turn) {
    // Quoted messages and repeated starts from just below to just above the
    // shortest run worth a reference (32 bytes), then long ones.
    const size_t n = turn < 40 ? static_cast<size_t>(turn) : 1000 + turn;
    std::string user(n, static_cast<char>('a' + turn % 26));
    push({user, Role::kUser});
    std::string reply = skills.substr(0, turn < 40 ? n : skills.size()) + "\n## User\n" + user;
    push({reply, Role::kAssistant});
    if (turn % 7 == 0) push({user + user, Role::kUser});  // quotes its previous message's end
    if (turn % 11 == 0) push({"", Role::kAssistant});
    if (turn % 13 == 0) branches.emplace_back(list, expected.size());
  }
  ASSERT_EQ(list.to_vector(), expected);
  // A branch pushes its own messages and still sees only its prefix.
  for (auto& [branch, size] : branches) {
    branch.push_back({skills + "branch", Role::kAssistant});
    std::vector<Message> want(expected.begin(), expected.begin() + static_cast<long>(size));
    want.push_back({skills + "branch", Role::kAssistant});
    EXPECT_EQ(branch.to_vector(), want);
    EXPECT_EQ(branch.back(), want.back());
  }
  EXPECT_EQ(list.to_vector(), expected);
}

// Random messages glued from pieces of earlier ones (starts, ends, whole
// messages) around the shortest shared run, in random roles, branching at
// random: every list reads back what was pushed to it.
TEST(Session, RandomRepeatsReadBackExactly) {
  std::mt19937 rng(12345);
  auto below = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  std::vector<std::pair<chat::MessageList, std::vector<Message>>> lists(1);
  for (int i = 0; i < 3000; ++i) {
    auto& [list, pushed] = lists[below(lists.size())];
    std::string content;
    for (size_t pieces = below(4); pieces > 0; --pieces) {
      if (pushed.empty() || below(3) == 0) {
        content += std::string(below(70), static_cast<char>('a' + below(3)));
      } else {
        const std::string& earlier =
            pushed[pushed.size() - 1 - below(std::min<size_t>(pushed.size(), 3))].content;
        const size_t n = below(earlier.size() + 1);
        content += below(2) ? earlier.substr(0, n) : earlier.substr(earlier.size() - n);
      }
    }
    const Message m{std::move(content), below(2) ? Role::kAssistant : Role::kUser};
    list.push_back(m);
    pushed.push_back(m);
    ASSERT_EQ(list.back(), m);
    if (below(50) == 0) lists.push_back(lists[below(lists.size())]);
  }
  for (const auto& [list, pushed] : lists) {
    EXPECT_EQ(list.to_vector(), pushed);
    // Slices, found by the chunks' marks: any range, `to` past the end too.
    for (int i = 0; i < 200; ++i) {
      const size_t from = below(pushed.size() + 1);
      const size_t to = from + below(pushed.size() + 3 - from);
      const std::vector<Message> want(pushed.begin() + static_cast<std::ptrdiff_t>(from),
                                      pushed.begin() +
                                          static_cast<std::ptrdiff_t>(std::min(to, pushed.size())));
      ASSERT_EQ(list.slice(from, to).to_vector(), want) << from << ".." << to;
    }
  }
}

// What a store that holds `base` must write for `grown`: exactly the pushed
// messages of a descendant (replies that quote earlier bytes included), and
// nothing for a list that branched off or is behind.
TEST(Session, PushedSinceGivesOnlyTheMessagesOfADescendant) {
  std::mt19937 rng(7);
  chat::MessageList base;
  for (int round = 0; round < 300; ++round) {
    chat::MessageList grown = base;
    std::vector<Message> pushed;
    for (size_t k = rng() % 4; k > 0; --k) {
      const std::string user(rng() % 900, static_cast<char>('a' + rng() % 3));
      for (Message m : {Message{user, Role::kUser},
                        Message{std::string(40 + rng() % 40, 'h') + user, Role::kAssistant}}) {
        grown.push_back(m);
        pushed.push_back(std::move(m));
      }
    }
    std::optional<std::vector<Message>> got = grown.pushed_since(base);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, pushed);
    chat::MessageList sibling = base;
    sibling.push_back({"x", Role::kUser});
    EXPECT_FALSE(grown.pushed_since(sibling).has_value());
    if (!pushed.empty()) {
      EXPECT_FALSE(sibling.pushed_since(grown).has_value());
      EXPECT_FALSE(base.pushed_since(grown).has_value());
    }
    base = std::move(grown);
  }
  EXPECT_EQ(base.pushed_since(chat::MessageList())->size(), base.size());
}

TEST(Session, AppendMessageCreatesThenExtends) {
  auto sessions = store::MemoryStore<chat::Session>::shared();
  ASSERT_TRUE(chat::append_message(*sessions, "s", {"hello", Role::kUser}).ok());
  ASSERT_TRUE(chat::append_message(*sessions, "s", {"reply", Role::kAssistant}).ok());
  chat::Session stored = sessions->get("s")->value();
  EXPECT_EQ(stored.id, "s");
  EXPECT_EQ(stored.messages.to_vector(),
            (std::vector<Message>{{"hello", Role::kUser}, {"reply", Role::kAssistant}}));
  EXPECT_FALSE(sessions->get("S")->has_value());
}

TEST(Requests, WithAssignedSkillsReplaces) {
  auto turn = chat::TurnRequest::with_assigned_skills(chat::TurnRequest("m"), {"a"});
  turn = chat::TurnRequest::with_assigned_skills(std::move(turn), {"b", "b"});
  EXPECT_EQ(turn.assigned_skills, (std::vector<std::string>{"b", "b"}));
  EXPECT_EQ(turn.message, "m");

  run::TaskRequest task(make_task("t", "T"), "msg");
  EXPECT_TRUE(task.assigned_skills.empty());
  task = run::TaskRequest::with_assigned_skills(std::move(task), {"x"});
  EXPECT_EQ(task.assigned_skills, std::vector<std::string>{"x"});
  task = run::TaskRequest::with_assigned_skills(std::move(task), {});
  EXPECT_TRUE(task.assigned_skills.empty());
}

TEST(Runs, CreateAndSaveUnderOwnId) {
  run::Run r = run::Run::create("r1", "t1");
  run::Run expected;
  expected.id = "r1";
  expected.task_id = "t1";
  expected.status = run::RunStatus::kPending;
  EXPECT_EQ(r, expected);
  auto runs = store::MemoryStore<run::Run>::shared();
  auto tasks = store::MemoryStore<run::Task>::shared();
  ASSERT_TRUE(run::save_run(*runs, r).ok());
  ASSERT_TRUE(run::save_task(*tasks, make_task("t1", "T")).ok());
  EXPECT_EQ(runs->get("r1")->value(), r);
  EXPECT_EQ(tasks->get("t1")->value().title, "T");
}

class Fixed : public tool::ValueTool {
 public:
  explicit Fixed(Result<json::Value> out) : out_(std::move(out)) {}
  Result<json::Value> invoke_value(const json::Value& input) override {
    last_input = input;
    return out_;
  }
  json::Value last_input;

 private:
  Result<json::Value> out_;
};

TEST(Registry, CallLooksUpExactlyAndPassesResultsThrough) {
  tool::Registry registry;
  auto echo = std::make_shared<Fixed>(json::Value(42));
  registry.insert("echo", echo);
  registry.insert("boom", std::make_shared<Fixed>(context("boom", Error("inner"))));

  auto missing = registry.call({"c1", "Echo", json::Value()});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "tool not found: Echo");

  json::Object input;
  input.set("a", 1);
  auto found = registry.call({"c1", "echo", json::Value(input)});
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(*found, json::Value(42));
  EXPECT_EQ(echo->last_input, json::Value(input));

  auto failed = registry.call({"c2", "boom", json::Value()});
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().message(), "boom");
  EXPECT_EQ(failed.error().cause()->message(), "inner");

  // Copies share the tool objects.
  tool::Registry copy = registry;
  EXPECT_EQ(copy.get("echo").get(), echo.get());
  EXPECT_EQ(registry.get("nope"), nullptr);
}

// Records are values: a copy changed by its holder changes neither the stored
// record nor another holder's copy, also for the structurally shared ones.
TEST(MemoryStore, CopiesAreIsolated) {
  auto sessions = store::MemoryStore<chat::Session>::shared();
  chat::Session s = chat::Session::create("s1");
  s.push({"hello", chat::Role::kUser});
  ASSERT_TRUE(sessions->put("s1", s).ok());

  chat::Session a = sessions->get("s1")->value();
  chat::Session b = sessions->get("s1")->value();
  a.push({"from a", chat::Role::kAssistant});
  a.title = "changed";
  b.push({"from b", chat::Role::kUser});

  chat::Session stored = sessions->get("s1")->value();
  EXPECT_EQ(stored.messages.size(), 1u);
  EXPECT_FALSE(stored.title.has_value());
  EXPECT_EQ(a.messages.to_vector(),
            (std::vector<chat::Message>{{"hello", chat::Role::kUser},
                                        {"from a", chat::Role::kAssistant}}));
  EXPECT_EQ(b.messages.to_vector(), (std::vector<chat::Message>{{"hello", chat::Role::kUser},
                                                                {"from b", chat::Role::kUser}}));

  auto skills = store::MemoryStore<skill::Skill>::shared();
  skill::SkillFields f;
  f.id = "w";
  f.content = "original";
  ASSERT_TRUE(skills->put("w", skill::Skill(f)).ok());
  skill::Skill got = skills->get("w")->value();
  auto listing = *skills->list();
  got.edit().content = "edited";
  got.edit().suggested_tools.push_back("t");
  EXPECT_EQ(skills->get("w")->value().content(), "original");
  EXPECT_EQ(listing.begin()->content(), "original");
  EXPECT_EQ(got.content(), "edited");
}

}  // namespace
}  // namespace dovek
