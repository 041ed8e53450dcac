// Reading records back: by key and all at once, the repository calls behind
// it, and the kinds a caller may name.
#include "engine/readback.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/core.h"
#include "engine/guarded_core.h"
#include "json/write.h"
#include "test_util.h"

namespace dovek {
namespace {

using engine::GuardedCore;
using engine::RecordKind;

std::string profile(std::string_view provider) {
  return R"({"provider":{"id":")" + std::string(provider) + R"("},"secret":{"key":"k"}})";
}

std::string read(GuardedCore& core, std::string_view kind,
                 std::optional<std::string_view> key = std::nullopt) {
  Result<std::string> r = core.read_json(kind, key);
  EXPECT_TRUE(r.ok()) << r.error().chain();
  return r.ok() ? *r : "";
}

TEST(ReadBack, ByKeyOrAllInKeyOrder) {
  GuardedCore core;
  for (const std::string& cmd :
       {testing::save_skill("b"), testing::save_skill(""),
        R"({"type":"save_profile","profile":)" + profile("p2") + "}",
        R"({"type":"save_profile","profile":)" + profile("p1") + "}",
        testing::start_run("r2", "t2", "s"), testing::start_run("r1", "t1", "s"),
        testing::chat_turn("s", R"(hi \"you\")")}) {
    ASSERT_TRUE(core.run_json(cmd).ok()) << cmd;
  }
  const std::string skill_b =
      R"({"id":"b","name":"Name","source":"user","source_ref":null,"read_only":false,)"
      R"("description":null,"content":"do it","suggested_tools":[]})";
  EXPECT_EQ(read(core, "skill", "b"), skill_b);
  EXPECT_EQ(read(core, "skill").find(R"([{"id":"","name")"), 0u);
  EXPECT_NE(read(core, "skill").find("}," + skill_b + "]"), std::string::npos);
  EXPECT_EQ(read(core, "profile"), "[" + profile("p1") + "," + profile("p2") + "]");
  EXPECT_EQ(read(core, "task", "t2"),
            R"({"id":"t2","title":"Title t2","input":null,"agent_id":null,"session_id":null,)"
            R"("status":null,"schedule":null,"created_at":null,"updated_at":null,"error":null})");
  const std::string runs = read(core, "run");
  EXPECT_EQ(runs.find(R"([{"id":"r1","task_id":"t1","status":"running")"), 0u) << runs;
  EXPECT_NE(runs.find(R"(},{"id":"r2",)"), std::string::npos) << runs;

  std::string reply;
  core.with_core_for_test(
      [&](engine::Core& c) { reply = (*c.stores.sessions->get("s"))->messages.back().content; });
  std::string session =
      R"({"id":"s","title":null,"agent_id":null,"model_id":null,"provider_id":null,)"
      R"("summary":null,"parent_id":null,"created_at":null,"updated_at":null,"messages":[)"
      R"({"role":"user","content":"hi \"you\""},{"role":"assistant","content":)";
  session += json::write(json::Value(reply));
  EXPECT_EQ(read(core, "session", "s"), session + "}]}");
  EXPECT_EQ(read(core, "session"), "[" + session + "}]}]");

  // Keys are compared byte for byte; an empty store lists as [].
  for (const char* kind : {"skill", "session", "task", "run", "profile"}) {
    EXPECT_EQ(read(core, kind, "S"), "null") << kind;
    EXPECT_EQ(read(core, kind, "s "), "null") << kind;
  }
  ASSERT_TRUE(core.reset().ok());
  EXPECT_EQ(read(core, "session"), "[]");
}

// A read by key is one get, never a listing; a full read is one list; a
// repository error comes back unchanged.
TEST(ReadBack, OneRepositoryCallEach) {
  testing::InstrumentedCore c;
  const std::optional<std::string_view> all;
  const std::pair<RecordKind, const char*> kinds[] = {{RecordKind::kSkill, "skills"},
                                                      {RecordKind::kSession, "sessions"},
                                                      {RecordKind::kTask, "tasks"},
                                                      {RecordKind::kRun, "runs"},
                                                      {RecordKind::kProfile, "profiles"}};
  for (const auto& [kind, store] : kinds) {
    c.log->clear();
    ASSERT_TRUE(engine::read_records_json(*c.core, kind, "k").ok());
    ASSERT_TRUE(engine::read_records_json(*c.core, kind, all).ok());
    EXPECT_EQ(*c.log, (std::vector<std::string>{std::string(store) + ".get k",
                                                std::string(store) + ".list"}));
  }
  c.sessions->fail("get", 1);
  c.runs->fail("list", 1);
  for (Result<std::string> r : {engine::read_records_json(*c.core, RecordKind::kSession, "s"),
                                engine::read_records_json(*c.core, RecordKind::kRun, all)}) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "injected failure");
    EXPECT_EQ(r.error().cause(), nullptr);
  }
}

TEST(ReadBack, KindsByExactNameAndTheModel) {
  EXPECT_EQ(engine::parse_record_kind("skill"), RecordKind::kSkill);
  EXPECT_EQ(engine::parse_record_kind("session"), RecordKind::kSession);
  EXPECT_EQ(engine::parse_record_kind("task"), RecordKind::kTask);
  EXPECT_EQ(engine::parse_record_kind("run"), RecordKind::kRun);
  EXPECT_EQ(engine::parse_record_kind("profile"), RecordKind::kProfile);
  GuardedCore core;
  for (std::string_view kind :
       std::initializer_list<std::string_view>{"Skill", "skills", "", "model",
                                               std::string_view("run\0", 4)}) {
    EXPECT_EQ(engine::parse_record_kind(kind), std::nullopt);
    Result<std::string> r = core.read_json(kind, "k");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), engine::unknown_record_kind_message(kind));
  }
  EXPECT_EQ(engine::unknown_record_kind_message("model"),
            "unknown record kind `model`, expected one of `skill`, `session`, `task`, `run`, "
            "`profile`");

  EXPECT_EQ(*core.model_json(), R"({"provider":{"id":"openai"},"id":"gpt-5.5"})");
  ASSERT_TRUE(core.run_json(testing::kSwitchModel).ok());
  EXPECT_EQ(*core.model_json(), R"({"provider":{"id":"anthropic"},"id":"m2"})");
}

}  // namespace
}  // namespace dovek
