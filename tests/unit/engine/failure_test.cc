// Repository calls of each flow, in order, and what survives when one of
// them fails (with a Repository double that fails a chosen call).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/core.h"
#include "engine/dispatch.h"
#include "test_util.h"

namespace dovek {
namespace {

using testing::InstrumentedCore;

using Log = std::vector<std::string>;

// ---- the exact calls of every command ----

struct Calls {
  const char* name;
  std::string command;
  Log calls;
};
void PrintTo(const Calls& p, std::ostream* os) { *os << p.name; }


class RepositoryCalls : public ::testing::TestWithParam<Calls> {};

TEST_P(RepositoryCalls, AreMadeInOrder) {
  InstrumentedCore c;
  Result<std::string> got = engine::dispatch_json(*c.core, GetParam().command);
  ASSERT_TRUE(got.ok()) << got.error().chain();
  EXPECT_EQ(*c.log, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, RepositoryCalls,
    ::testing::Values(
        Calls{"SaveSkill", testing::save_skill("k"), {"skills.put k"}},
        Calls{"SaveProfile", testing::kSaveProfile, {"profiles.put p1"}},
        Calls{"SwitchModel", testing::kSwitchModel, {}}, Calls{"CallTool", testing::kCallTool, {}},
        Calls{"ChatTurn",
              testing::chat_turn("s1", "hi"),
              {"skills.list", "sessions.get s1", "sessions.put s1", "sessions.get s1",
               "sessions.put s1"}},
        Calls{"StartRun", testing::start_run("r1", "t1", "s1"), {"tasks.put t1", "runs.put r1"}},
        Calls{"RunTask",
              testing::run_task("r1", "t1"),
              {"tasks.put t1", "runs.get r1", "skills.list", "runs.put r1"}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- what survives a failure at each step ----

// What the stores hold after a command, as comparable text.
struct Snapshot {
  Log skills, sessions, tasks, runs, profiles;
  bool operator==(const Snapshot&) const = default;
};

template <class T>
std::vector<T> all(store::Repository<T>& repo) {
  Result<typename store::Repository<T>::List> list = repo.list();
  EXPECT_TRUE(list.ok());
  return list.ok() ? list->to_vector() : std::vector<T>{};
}

Snapshot snapshot(InstrumentedCore& c) {
  Snapshot s;
  for (const skill::Skill& k : all(c.skills->inner())) s.skills.push_back(k.id() + "=" + k.name());
  for (const chat::Session& x : all(c.sessions->inner())) {
    std::string line = x.id + ":";
    for (const chat::Message& m : x.messages.to_vector()) {
      line += m.role == chat::Role::kUser ? " U:" + m.content : " A";
    }
    s.sessions.push_back(line);
  }
  for (const run::Task& t : all(c.tasks->inner())) s.tasks.push_back(t.id + "=" + t.title);
  for (const run::Run& r : all(c.runs->inner())) {
    s.runs.push_back(r.id + ":" + r.task_id + ":" + std::string(run::status_name(r.status)) + ":" +
                     r.session_id.value_or("-"));
  }
  for (const auto& p : all(c.profiles->inner())) {
    s.profiles.push_back(p.provider.id + "=" + p.secret.key);
  }
  return s;
}

std::ostream& operator<<(std::ostream& os, const Snapshot& s) {
  auto list = [&](const char* name, const Log& l) {
    os << name << "[";
    for (const std::string& x : l) os << x << ";";
    os << "] ";
  };
  list("skills", s.skills);
  list("sessions", s.sessions);
  list("tasks", s.tasks);
  list("runs", s.runs);
  list("profiles", s.profiles);
  return os;
}

struct Failing {
  const char* name;
  std::string command;
  std::string store;  // which double fails
  std::string op;
  int nth;
  Snapshot survives;
};
void PrintTo(const Failing& p, std::ostream* os) { *os << p.name; }


class FailureTable : public ::testing::TestWithParam<Failing> {};

// Before each case: skill "w", session "s1" with one exchange, task "t0",
// run "r1" started from it, profile "p1".
void seed(InstrumentedCore& c) {
  for (const std::string& cmd :
       {testing::save_skill("w", "W"), testing::chat_turn("s1", "old"),
        testing::start_run("r1", "t0", "s0"), std::string(testing::kSaveProfile)}) {
    Result<std::string> r = engine::dispatch_json(*c.core, cmd);
    ASSERT_TRUE(r.ok()) << r.error().chain();
  }
  c.log->clear();
}

const Snapshot kSeeded{{"w=W"}, {"s1: U:old A"}, {"t0=Title t0"}, {"r1:t0:running:s0"}, {"p1=k1"}};

Snapshot with(std::function<void(Snapshot&)> change) {
  Snapshot s = kSeeded;
  change(s);
  return s;
}

TEST_P(FailureTable, ErrorPassesThroughAndEarlierWritesStay) {
  const Failing& p = GetParam();
  InstrumentedCore c;
  seed(c);
  if (p.store == "skills") c.skills->fail(p.op, p.nth);
  if (p.store == "sessions") c.sessions->fail(p.op, p.nth);
  if (p.store == "tasks") c.tasks->fail(p.op, p.nth);
  if (p.store == "runs") c.runs->fail(p.op, p.nth);
  if (p.store == "profiles") c.profiles->fail(p.op, p.nth);

  Result<std::string> got = engine::dispatch_json(*c.core, p.command);
  ASSERT_FALSE(got.ok()) << *got;
  // Unchanged: no context added by the engine or the pipeline.
  EXPECT_EQ(got.error().message(), "injected failure");
  EXPECT_EQ(got.error().cause(), nullptr);
  EXPECT_EQ(snapshot(c), p.survives);
  // The flow stopped at the failing call.
  ASSERT_FALSE(c.log->empty());
  EXPECT_EQ(c.log->back().rfind(p.store + "." + p.op, 0), 0u) << c.log->back();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailureTable,
    ::testing::Values(
        Failing{"SaveSkillPut", testing::save_skill("x"), "skills", "put", 1, kSeeded},
        Failing{"SaveSkillReplacePut", testing::save_skill("w", "Other"), "skills", "put", 1,
                kSeeded},
        Failing{
            "SaveProfilePut",
            R"({"type":"save_profile","profile":{"provider":{"id":"p1"},"secret":{"key":"new"}}})",
            "profiles", "put", 1, kSeeded},
        Failing{"ChatListSkills", testing::chat_turn("s1", "new"), "skills", "list", 1, kSeeded},
        Failing{"ChatFirstGet", testing::chat_turn("s1", "new"), "sessions", "get", 1, kSeeded},
        Failing{"ChatUserPut", testing::chat_turn("s1", "new"), "sessions", "put", 1, kSeeded},
        Failing{"ChatSecondGet", testing::chat_turn("s1", "new"), "sessions", "get", 2,
                with([](Snapshot& s) { s.sessions = {"s1: U:old A U:new"}; })},
        Failing{"ChatReplyPut", testing::chat_turn("s1", "new"), "sessions", "put", 2,
                with([](Snapshot& s) { s.sessions = {"s1: U:old A U:new"}; })},
        Failing{"ChatReplyPutNewSession", testing::chat_turn("s2", "first"), "sessions", "put", 2,
                with([](Snapshot& s) { s.sessions = {"s1: U:old A", "s2: U:first"}; })},
        Failing{"StartRunTaskPut", testing::start_run("r1", "t1", "s1"), "tasks", "put", 1,
                kSeeded},
        Failing{"StartRunRunPut", testing::start_run("r1", "t1", "s1"), "runs", "put", 1,
                with([](Snapshot& s) { s.tasks = {"t0=Title t0", "t1=Title t1"}; })},
        Failing{"RunTaskTaskPut", testing::run_task("r1", "t2"), "tasks", "put", 1, kSeeded},
        Failing{"RunTaskRunGet", testing::run_task("r1", "t2"), "runs", "get", 1,
                with([](Snapshot& s) { s.tasks = {"t0=Title t0", "t2=Title t2"}; })},
        Failing{"RunTaskListSkills", testing::run_task("r1", "t2"), "skills", "list", 1,
                with([](Snapshot& s) { s.tasks = {"t0=Title t0", "t2=Title t2"}; })},
        Failing{"RunTaskRunPut", testing::run_task("r1", "t2"), "runs", "put", 1,
                with([](Snapshot& s) { s.tasks = {"t0=Title t0", "t2=Title t2"}; })},
        Failing{"RunTaskNewRunPut", testing::run_task("r9", "t0"), "runs", "put", 1, kSeeded}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FailureTable, FailedTurnLeavesCoreUsable) {
  InstrumentedCore c;
  seed(c);
  c.sessions->fail("put", 2);
  ASSERT_FALSE(engine::dispatch_json(*c.core, testing::chat_turn("s1", "lost reply")).ok());
  // The double fails only once; the next turn appends after the orphan.
  Result<std::string> r = engine::dispatch_json(*c.core, testing::chat_turn("s1", "next"));
  ASSERT_TRUE(r.ok()) << r.error().chain();
  EXPECT_EQ(snapshot(c).sessions, Log{"s1: U:old A U:lost reply U:next A"});
}

TEST(FailureTable, SkillCatalogPassesListErrorThrough) {
  InstrumentedCore c;
  c.skills->fail("list", 1);
  Result<skill::Catalog> catalog = c.core->skill_catalog();
  ASSERT_FALSE(catalog.ok());
  EXPECT_EQ(catalog.error().message(), "injected failure");
  EXPECT_EQ(catalog.error().cause(), nullptr);
  // The next call lists again (no failure remembered).
  EXPECT_TRUE(c.core->skill_catalog().ok());
  EXPECT_EQ(*c.log, (Log{"skills.list", "skills.list"}));
}

}  // namespace
}  // namespace dovek
