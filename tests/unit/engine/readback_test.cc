// Reading records back: the texts of each kind, by key and all at once, the
// repository calls behind them, and the kinds a caller may name.
#include "engine/readback.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "engine/core.h"
#include "engine/guarded_core.h"
#include "json/write.h"
#include "test_util.h"

namespace dovek {
namespace {

using engine::GuardedCore;
using engine::RecordKind;

constexpr const char* kTask2 =
    R"({"id":"t2","title":"Title t2","input":null,"agent_id":null,"session_id":null,)"
    R"("status":null,"schedule":null,"created_at":null,"updated_at":null,"error":null})";
constexpr const char* kRun1 =
    R"({"id":"r1","task_id":"t2","status":"running","raw_status":null,"session_id":"s",)"
    R"("execution_id":null,"checkpoint_id":null,"error":null,"started_at":null,)"
    R"("updated_at":null,"ended_at":null})";

std::string skill_record(std::string_view id) {
  return R"({"id":")" + std::string(id) +
         R"(","name":"Name","source":"user","source_ref":null,"read_only":false,)"
         R"("description":null,"content":"do it","suggested_tools":[]})";
}

std::string profile_command(std::string_view provider, std::string_view key) {
  return R"({"type":"save_profile","profile":{"provider":{"id":")" + std::string(provider) +
         R"("},"secret":{"key":")" + std::string(key) + R"("}}})";
}

// A core holding records of every kind, each saved out of key order.
class ReadBack : public ::testing::Test {
 protected:
  ReadBack() {
    for (const std::string& cmd :
         {testing::save_skill("b"), testing::save_skill("a"), testing::save_skill(""),
          profile_command("p2", "k2"), profile_command("p1", "k1"),
          testing::start_run("r2", "t2", "s"), testing::start_run("r1", "t2", "s"),
          testing::start_run("r0", "t1", "s"), testing::chat_turn("s", R"(hi \"you\")")}) {
      Result<std::string> r = core_.run_json_locked(cmd);
      EXPECT_TRUE(r.ok()) << r.error().chain();
    }
  }

  std::string read(std::string_view kind, std::optional<std::string_view> key = std::nullopt) {
    Result<std::string> r = core_.read_json(kind, key);
    EXPECT_TRUE(r.ok()) << r.error().chain();
    return r.ok() ? *r : "";
  }

  GuardedCore core_;
};

TEST_F(ReadBack, ListsEveryRecordInKeyOrder) {
  EXPECT_EQ(read("skill"),
            "[" + skill_record("") + "," + skill_record("a") + "," + skill_record("b") + "]");
  EXPECT_EQ(read("profile"), R"([{"provider":{"id":"p1"},"secret":{"key":"k1"}},)"
                             R"({"provider":{"id":"p2"},"secret":{"key":"k2"}}])");
  const std::string tasks = read("task");
  EXPECT_EQ(tasks.find(R"([{"id":"t1",)"), 0u) << tasks;
  EXPECT_NE(tasks.find(std::string(",") + kTask2 + "]"), std::string::npos) << tasks;
  const std::string runs = read("run");
  EXPECT_EQ(runs.find(R"([{"id":"r0",)"), 0u) << runs;
  EXPECT_NE(runs.find(std::string(",") + kRun1 + R"(,{"id":"r2",)"), std::string::npos) << runs;
}

TEST_F(ReadBack, OneRecordByKeyOrNull) {
  EXPECT_EQ(read("skill", ""), skill_record(""));
  EXPECT_EQ(read("skill", "b"), skill_record("b"));
  EXPECT_EQ(read("task", "t2"), kTask2);
  EXPECT_EQ(read("run", "r1"), kRun1);
  EXPECT_EQ(read("profile", "p2"), R"({"provider":{"id":"p2"},"secret":{"key":"k2"}})");

  // The session's history: the user's message, then the reply the turn made.
  std::string reply;
  core_.with_core_for_test(
      [&](engine::Core& c) { reply = (*c.stores.sessions->get("s"))->messages.back().content; });
  ASSERT_FALSE(reply.empty());
  std::string session =
      R"({"id":"s","title":null,"agent_id":null,"model_id":null,"provider_id":null,)"
      R"("summary":null,"parent_id":null,"created_at":null,"updated_at":null,"messages":[)"
      R"({"role":"user","content":"hi \"you\""},{"role":"assistant","content":)";
  json::append_string(session, reply);
  EXPECT_EQ(read("session", "s"), session + "}]}");
  EXPECT_EQ(read("session"), "[" + session + "}]}]");

  // Keys are compared byte for byte.
  for (const char* kind : {"skill", "session", "task", "run", "profile"}) {
    EXPECT_EQ(read(kind, "A"), "null") << kind;
    EXPECT_EQ(read(kind, "s "), "null") << kind;
  }
}

TEST(ReadBackEmpty, EmptyStoresListAsEmptyArrays) {
  GuardedCore core;
  for (const char* kind : {"skill", "session", "task", "run", "profile"}) {
    Result<std::string> r = core.read_json(kind, std::nullopt);
    ASSERT_TRUE(r.ok()) << kind;
    EXPECT_EQ(*r, "[]") << kind;
  }
}

// A read by key is one get (never a listing); a full read is one list; a
// repository error comes back unchanged.
TEST(ReadBackCalls, OneRepositoryCallEach) {
  testing::InstrumentedCore c;
  const std::optional<std::string_view> none;
  struct {
    RecordKind kind;
    const char* store;
  } kinds[] = {{RecordKind::Skill, "skills"},
               {RecordKind::Session, "sessions"},
               {RecordKind::Task, "tasks"},
               {RecordKind::Run, "runs"},
               {RecordKind::Profile, "profiles"}};
  for (const auto& [kind, store] : kinds) {
    c.log->clear();
    ASSERT_TRUE(engine::read_records_json(*c.core, kind, "k").ok());
    ASSERT_TRUE(engine::read_records_json(*c.core, kind, none).ok());
    EXPECT_EQ(*c.log, (std::vector<std::string>{std::string(store) + ".get k",
                                                std::string(store) + ".list"}));
  }
  c.sessions->fail("get", 1);
  c.runs->fail("list", 1);
  for (const auto& [kind, key] :
       {std::pair{RecordKind::Session, std::optional<std::string_view>("s")},
        std::pair{RecordKind::Run, none}}) {
    Result<std::string> r = engine::read_records_json(*c.core, kind, key);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "injected failure");
    EXPECT_EQ(r.error().cause(), nullptr);
  }
}

TEST(ReadBackKinds, OnlyTheFiveKindsByExactName) {
  EXPECT_EQ(engine::parse_record_kind("skill"), RecordKind::Skill);
  EXPECT_EQ(engine::parse_record_kind("session"), RecordKind::Session);
  EXPECT_EQ(engine::parse_record_kind("task"), RecordKind::Task);
  EXPECT_EQ(engine::parse_record_kind("run"), RecordKind::Run);
  EXPECT_EQ(engine::parse_record_kind("profile"), RecordKind::Profile);
  GuardedCore core;
  for (std::string_view kind :
       std::initializer_list<std::string_view>{"Skill", "skills", "", "model", "run ",
                                               std::string_view("run\0", 4)}) {
    EXPECT_EQ(engine::parse_record_kind(kind), std::nullopt);
    Result<std::string> r = core.read_json(kind, "k");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), engine::unknown_record_kind_message(kind));
  }
  EXPECT_EQ(engine::unknown_record_kind_message("model"),
            "unknown record kind `model`, expected one of `skill`, `session`, `task`, `run`, "
            "`profile`");
}

TEST(ReadBackModel, TheSelectedModel) {
  GuardedCore core;
  EXPECT_EQ(*core.model_json(), R"({"provider":{"id":"openai"},"id":"gpt-5.5"})");
  ASSERT_TRUE(core.run_json_locked(testing::kSwitchModel).ok());
  EXPECT_EQ(*core.model_json(), R"({"provider":{"id":"anthropic"},"id":"m2"})");
}

}  // namespace
}  // namespace dovek
