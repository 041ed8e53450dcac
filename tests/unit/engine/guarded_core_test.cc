// GuardedCore: poisoning, reset, its core factory, and serialised commands
// from many threads.
#include "engine/guarded_core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/core.h"
#include "test_util.h"

namespace dovek {
namespace {

using engine::GuardedCore;

// A skill store whose put breaks an invariant (throws) for the key "throw":
// an exception while the core's lock is held.
class ThrowingSkills final : public store::Repository<skill::Skill> {
 public:
  Result<std::optional<skill::Skill>> get(std::string_view key) const override {
    return inner_->get(key);
  }
  Result<List> list() const override { return inner_->list(); }
  Status put(std::string_view key, skill::Skill record) override {
    if (key == "throw") throw std::logic_error("broken invariant");
    return inner_->put(key, std::move(record));
  }
  Result<bool> remove(std::string_view key) override { return inner_->remove(key); }
  Status replace_all(std::vector<std::pair<std::string, skill::Skill>> pairs) override {
    return inner_->replace_all(std::move(pairs));
  }

 private:
  std::shared_ptr<store::Repository<skill::Skill>> inner_ =
      store::MemoryStore<skill::Skill>::shared();
};

void install_throwing_skills(engine::Core& c) {
  c.stores.skills = std::make_shared<ThrowingSkills>();
}

// A tool that throws; it runs without the core's lock.
class ThrowingTool final : public tool::ValueTool {
 public:
  Result<json::Value> invoke_value(const json::Value&) override {
    throw std::logic_error("tool failed");
  }
};

const std::string kSaveThrow = testing::save_skill("throw");
const std::string kCallThrow =
    R"({"type":"call_tool","call":{"id":"c","name":"throw","input":null}})";

TEST(GuardedCore, ErrorValuesDoNotPoison) {
  GuardedCore core;
  Result<std::string> bad = core.run_json("{");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "decode CoreCommand JSON");
  EXPECT_FALSE(core.poisoned());
  Result<std::string> ok = core.run_json(testing::save_skill("a"));
  ASSERT_TRUE(ok.ok()) << ok.error().chain();
  EXPECT_EQ(*ok, R"({"type":"saved"})");
}

TEST(GuardedCore, ExceptionUnderTheLockPoisonsForever) {
  GuardedCore core;
  core.with_core_for_test(install_throwing_skills);
  ASSERT_TRUE(core.run_json(testing::save_skill("a")).ok());

  EXPECT_THROW((void)core.run_json(kSaveThrow), std::logic_error);
  EXPECT_TRUE(core.poisoned());

  // Every later command and reset fails without running, however often.
  for (const std::string& cmd : {testing::save_skill("b"), std::string(testing::kSwitchModel),
                                 std::string("not json"), kSaveThrow, kCallThrow}) {
    Result<std::string> r = core.run_json(cmd);
    ASSERT_FALSE(r.ok()) << cmd;
    EXPECT_EQ(r.error().message(), "core state lock was poisoned");
    EXPECT_EQ(r.error().cause(), nullptr);
  }
  // Reads fail the same way.
  for (Result<std::string> r :
       {core.read_json("skill", "a"), core.read_json("run", std::nullopt), core.model_json()}) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "core state lock was poisoned");
  }
  for (int i = 0; i < 2; ++i) {
    Status s = core.reset();
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message(), "core state lock was poisoned");
  }
  EXPECT_TRUE(core.poisoned());
  // Nothing ran: the save of "b" never reached the store, nor was "a" reset away.
  core.with_core_for_test([](engine::Core& c) {
    Result<store::Repository<skill::Skill>::List> skills = c.stores.skills->list();
    ASSERT_TRUE(skills.ok());
    ASSERT_EQ(skills->size(), 1u);
    EXPECT_EQ(skills->begin()->id(), "a");
  });

  // Other cores are not affected.
  GuardedCore other;
  EXPECT_TRUE(other.run_json(testing::save_skill("a")).ok());
  EXPECT_FALSE(other.poisoned());
}

TEST(GuardedCore, PoisonedLockIsReleased) {
  GuardedCore core;
  core.with_core_for_test(install_throwing_skills);
  EXPECT_THROW((void)core.run_json(kSaveThrow), std::logic_error);
  // Another thread must get the poison error, not hang on the lock.
  Result<std::string> r = Error("not run");
  std::thread t([&] { r = core.run_json(testing::save_skill("a")); });
  t.join();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "core state lock was poisoned");
}

// A tool runs after the core's lock is released: its exception reaches the
// caller without poisoning the core, and it may run commands on its own core.
class ReentrantTool final : public tool::ValueTool {
 public:
  explicit ReentrantTool(GuardedCore& core) : core_(core) {}
  Result<json::Value> invoke_value(const json::Value&) override {
    DOVEK_ASSIGN_OR_RETURN(std::string saved, core_.run_json(testing::save_skill("inner")));
    return json::Value(saved);
  }

 private:
  GuardedCore& core_;
};

TEST(GuardedCore, ToolsRunWithoutTheLock) {
  GuardedCore core;
  ASSERT_TRUE(core.with_core([&](engine::Core& c) {
                    c.register_tool("throw", std::make_shared<ThrowingTool>());
                    c.register_tool("inner", std::make_shared<ReentrantTool>(core));
                  })
                  .ok());
  EXPECT_THROW((void)core.run_json(kCallThrow), std::logic_error);
  EXPECT_FALSE(core.poisoned());
  Result<std::string> r =
      core.run_json(R"({"type":"call_tool","call":{"id":"c","name":"inner","input":1}})");
  ASSERT_TRUE(r.ok()) << r.error().chain();
  EXPECT_EQ(*r, R"({"type":"tool_events","events":[{"type":"tool_call","id":"c","name":"inner",)"
                R"("input":1},{"type":"tool_result","id":"c","value":"{\"type\":\"saved\"}"}]})");
  core.with_core_for_test(
      [](engine::Core& c) { EXPECT_TRUE(c.stores.skills->get("inner")->has_value()); });
}

TEST(GuardedCore, ResetClearsRecordsAndRestoresDefaultModel) {
  GuardedCore core;
  for (const std::string& cmd :
       {testing::save_skill("a", "Alpha"), std::string(testing::kSwitchModel),
        std::string(testing::kSaveProfile), testing::chat_turn("s", "m", R"(["a"])"),
        testing::start_run("r", "t", "s")}) {
    Result<std::string> r = core.run_json(cmd);
    ASSERT_TRUE(r.ok()) << r.error().chain();
  }
  core.with_core_for_test(
      [](engine::Core& c) { c.register_tool("x", std::make_shared<ThrowingTool>()); });

  ASSERT_TRUE(core.reset().ok());

  core.with_core_for_test([](engine::Core& c) {
    EXPECT_EQ(c.agent.model, model::Model::create("openai", "gpt-5.5"));
    EXPECT_TRUE(c.registry.empty());
    EXPECT_TRUE(c.stores.skills->list()->empty());
    EXPECT_TRUE(c.stores.sessions->list()->empty());
    EXPECT_TRUE(c.stores.tasks->list()->empty());
    EXPECT_TRUE(c.stores.runs->list()->empty());
    EXPECT_TRUE(c.stores.profiles->list()->empty());
  });
  // A command that needs the skill behaves as if it had never been saved.
  Result<std::string> r = core.run_json(testing::chat_turn("s", "m", R"(["a"])"));
  ASSERT_TRUE(r.ok());
  EXPECT_NE(r->find("assigned skill is missing: a"), std::string::npos) << *r;
  EXPECT_EQ(r->find("Alpha"), std::string::npos) << *r;
}

TEST(GuardedCore, CoresShareNothing) {
  GuardedCore a;
  GuardedCore b;
  ASSERT_TRUE(a.run_json(testing::kSwitchModel).ok());
  ASSERT_TRUE(a.run_json(testing::save_skill("k")).ok());
  b.with_core_for_test([](engine::Core& c) {
    EXPECT_EQ(c.agent.model, model::Model::create("openai", "gpt-5.5"));
    EXPECT_TRUE(c.stores.skills->list()->empty());
  });
}

TEST(GuardedCore, ConcurrentCommandsAreSerialised) {
  GuardedCore core;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 150;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string id = std::to_string(t) + "-" + std::to_string(i);
        // One shared session: an unserialised get/put would lose messages.
        if (!core.run_json(testing::chat_turn("shared", id)).ok()) ++failures[t];
        if (!core.run_json(testing::save_skill(id)).ok()) ++failures[t];
        if (!core.run_json(testing::run_task("run", id)).ok()) ++failures[t];
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int f : failures) EXPECT_EQ(f, 0);

  core.with_core_for_test([&](engine::Core& c) {
    EXPECT_EQ(c.stores.skills->list()->size(), size_t{kThreads * kPerThread});
    EXPECT_EQ(c.stores.tasks->list()->size(), size_t{kThreads * kPerThread});
    Result<std::optional<chat::Session>> s = c.stores.sessions->get("shared");
    ASSERT_TRUE(s.ok() && s->has_value());
    std::vector<chat::Message> m = (*s)->messages.to_vector();
    ASSERT_EQ(m.size(), size_t{2 * kThreads * kPerThread});
    // Each user message is directly followed by its own reply.
    for (size_t i = 0; i < m.size(); i += 2) {
      EXPECT_EQ(m[i].role, chat::Role::kUser);
      EXPECT_EQ(m[i + 1].role, chat::Role::kAssistant);
      EXPECT_EQ(m[i + 1].content, "## User message\n" + m[i].content) << i;
    }
  });
}

// One thread's share of a mixed workload: every command kind, with skills
// mentioned and assigned so that catalogs and sessions are read while other
// threads write. Returns the number of commands that failed.
int mixed_commands(GuardedCore& core, const std::string& prefix, int rounds) {
  int failures = 0;
  auto expect_ok = [&](const std::string& cmd) {
    if (!core.run_json(cmd).ok()) ++failures;
  };
  for (int i = 0; i < rounds; ++i) {
    const std::string id = prefix + std::to_string(i);
    expect_ok(testing::save_skill(id, "Name " + id, "content of " + id));
    expect_ok(testing::chat_turn("s-" + prefix, "use @" + id, R"([")" + prefix + R"(0"])"));
    expect_ok(testing::chat_turn("shared", "hello @" + id));
    expect_ok(testing::start_run("r-" + id, "t-" + id, "s-" + prefix));
    expect_ok(testing::run_task("r-" + id, "t-" + id, "go @" + id));
    expect_ok(i % 2 ? testing::kSwitchModel
                    : R"({"type":"switch_model","model":{"provider":{"id":"openai"},"id":"x"}})");
    expect_ok(testing::kSaveProfile);
    expect_ok(testing::kCallTool);
    // A malformed command is an error value, never a fault.
    if (core.run_json("{\"type\":\"chat_turn\"").ok()) ++failures;
  }
  return failures;
}

TEST(GuardedCore, EightThreadsMixedCommandsOnSharedAndSeparateCores) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 40;
  GuardedCore shared;
  std::vector<std::unique_ptr<GuardedCore>> own;
  for (int t = 0; t < kThreads; ++t) own.push_back(std::make_unique<GuardedCore>());
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string prefix = "t" + std::to_string(t) + "-";
      // Interleave the two so that both kinds of contention happen at once.
      for (int part = 0; part < 2; ++part) {
        failures[t] += mixed_commands(shared, prefix + std::to_string(part) + "-", kRounds / 2);
        failures[t] += mixed_commands(*own[t], prefix + std::to_string(part) + "-", kRounds / 2);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int f : failures) EXPECT_EQ(f, 0);

  auto check = [&](GuardedCore& core, size_t threads_on_it) {
    core.with_core_for_test([&](engine::Core& c) {
      const size_t per_thread = kRounds;
      EXPECT_EQ(c.stores.skills->list()->size(), threads_on_it * per_thread);
      EXPECT_EQ(c.stores.tasks->list()->size(), threads_on_it * per_thread);
      EXPECT_EQ(c.stores.runs->list()->size(), threads_on_it * per_thread);
      EXPECT_EQ(c.stores.profiles->list()->size(), 1u);
      Result<std::optional<chat::Session>> s = c.stores.sessions->get("shared");
      ASSERT_TRUE(s.ok() && s->has_value());
      EXPECT_EQ((*s)->messages.to_vector().size(), 2 * threads_on_it * per_thread);
    });
  };
  check(shared, kThreads);
  for (auto& core : own) check(*core, 1);
}

TEST(GuardedCore, ResetWhileCommandsRun) {
  GuardedCore core;
  std::atomic<bool> stop{false};
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int part = 0; !stop.load(); ++part) {
        // GCC 12 reports a false -Wrestrict in the std::string concatenation it inlines here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
        failures[t] +=
            mixed_commands(core, "t" + std::to_string(t) + "-" + std::to_string(part) + "-", 5);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
      }
    });
  }
  int resets_failed = 0;
  for (int i = 0; i < 50; ++i) {
    if (!core.reset().ok()) ++resets_failed;
    std::this_thread::yield();
  }
  stop = true;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(resets_failed, 0);
  for (int f : failures) EXPECT_EQ(f, 0);
  EXPECT_FALSE(core.poisoned());

  ASSERT_TRUE(core.reset().ok());
  core.with_core_for_test([](engine::Core& c) {
    EXPECT_EQ(c.agent.model, model::Model::create("openai", "gpt-5.5"));
    EXPECT_TRUE(c.stores.skills->list()->empty());
    EXPECT_TRUE(c.stores.sessions->list()->empty());
  });
}

TEST(GuardedCore, FactoryMakesTheFirstCoreAndEveryReset) {
  int made = 0;
  GuardedCore core([&made] {
    ++made;
    std::unique_ptr<engine::Core> c = engine::Core::create_default();
    c->register_tool("throw", std::make_shared<ThrowingTool>());
    install_throwing_skills(*c);
    return c;
  });
  EXPECT_EQ(made, 1);
  ASSERT_TRUE(core.run_json(testing::save_skill("a")).ok());

  ASSERT_TRUE(core.reset().ok());
  EXPECT_EQ(made, 2);
  core.with_core_for_test([](engine::Core& c) {
    EXPECT_NE(c.registry.get("throw"), nullptr);
    EXPECT_TRUE(c.stores.skills->list()->empty());
  });
  // The factory's store runs like any other, and still poisons.
  EXPECT_THROW((void)core.run_json(kSaveThrow), std::logic_error);
  EXPECT_TRUE(core.poisoned());
  EXPECT_FALSE(core.reset().ok());
  EXPECT_EQ(made, 3);  // built before the poison was seen, then dropped
}

}  // namespace
}  // namespace dovek
