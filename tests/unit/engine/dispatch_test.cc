// dispatch_json: whole commands in, the exact response texts out.
#include "engine/dispatch.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/core.h"
#include "test_util.h"

namespace dovek {
namespace {

struct Exchange {
  const char* name;
  std::string command;
  std::string response;
};
void PrintTo(const Exchange& p, std::ostream* os) { *os << p.name; }


class DispatchJson : public ::testing::TestWithParam<Exchange> {};

TEST_P(DispatchJson, AnswersExactText) {
  std::unique_ptr<engine::Core> core = engine::Core::create_default();
  Result<std::string> got = engine::dispatch_json(*core, GetParam().command);
  ASSERT_TRUE(got.ok()) << got.error().chain();
  EXPECT_EQ(*got, GetParam().response);
}

// One response buffer for every command, as the binding keeps one per
// thread: each answer is exactly its own text, whatever longer or shorter
// text the buffer held before, and errors leave the buffer usable.
TEST_P(DispatchJson, AnswersExactTextIntoAReusedBuffer) {
  std::unique_ptr<engine::Core> core = engine::Core::create_default();
  std::string storage(4000, 'x');  // leftovers of a longer response
  for (int round = 0; round < 2; ++round) {
    Result<std::string_view> got = engine::dispatch_json_into(*core, GetParam().command, storage);
    ASSERT_TRUE(got.ok()) << got.error().chain();
    EXPECT_EQ(*got, GetParam().response);
    EXPECT_EQ(got->data(), storage.data());
    ASSERT_FALSE(engine::dispatch_json_into(*core, "{", storage).ok());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, DispatchJson,
    ::testing::Values(
        Exchange{"SaveSkill", testing::save_skill("a"), R"({"type":"saved"})"},
        Exchange{"SaveProfile", testing::kSaveProfile, R"({"type":"saved"})"},
        Exchange{"SwitchModelEchoesModel", testing::kSwitchModel,
                 R"({"type":"model_switched","model":{"provider":{"id":"anthropic"},"id":"m2"}})"},
        Exchange{"StartRun", testing::start_run("r1", "t1", "s1"),
                 R"({"type":"run_started","run":{"id":"r1","task_id":"t1","status":"running",)"
                 R"("raw_status":null,"session_id":"s1","execution_id":null,"checkpoint_id":null,)"
                 R"("error":null,"started_at":null,"updated_at":null,"ended_at":null}})"},
        Exchange{"StartRunEmptyIds", testing::start_run("", "", ""),
                 R"({"type":"run_started","run":{"id":"","task_id":"","status":"running",)"
                 R"("raw_status":null,"session_id":"","execution_id":null,"checkpoint_id":null,)"
                 R"("error":null,"started_at":null,"updated_at":null,"ended_at":null}})"},
        Exchange{"UnknownToolSortsInputKeys",
                 R"({"type":"call_tool","call":{"id":"c1","name":"echo",)"
                 R"("input":{"b":[3,3.0,1E2,"\u00e9\/"],"a":{"d":true,"c":false},"b":null}}})",
                 R"({"type":"tool_events","events":[{"type":"tool_call","id":"c1","name":"echo",)"
                 R"("input":{"a":{"c":false,"d":true},"b":null}},)"
                 R"({"type":"error","message":"tool not found: echo"}]})"},
        Exchange{"ToolInputNumberKinds",
                 R"(["call_tool",["","Echo",[3,3.0,-3,1E2,0.5e1,"\u00e9\/\u0001"]]])",
                 "{\"type\":\"tool_events\",\"events\":[{\"type\":\"tool_call\",\"id\":\"\","
                 "\"name\":\"Echo\",\"input\":[3,3.0,-3,100.0,5.0,\"\xC3\xA9/\\u0001\"]},"
                 "{\"type\":\"error\",\"message\":\"tool not found: Echo\"}]}"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DispatchJsonText, ChatTurnAnswersOneTextEventWithThePrompt) {
  std::unique_ptr<engine::Core> core = engine::Core::create_default();
  Result<std::string> got = engine::dispatch_json(*core, testing::chat_turn("s", "say \\\"hi\\\""));
  ASSERT_TRUE(got.ok()) << got.error().chain();
  EXPECT_EQ(
      *got,
      R"({"type":"chat_turn","events":[{"type":"text","value":"## User message\nsay \"hi\""}]})");
}

TEST(DispatchJsonText, RunTaskAnswersOneTextEventWithTheTaskPrompt) {
  std::unique_ptr<engine::Core> core = engine::Core::create_default();
  Result<std::string> got = engine::dispatch_json(*core, testing::run_task("r", "t", "go"));
  ASSERT_TRUE(got.ok()) << got.error().chain();
  EXPECT_EQ(
      *got,
      R"({"type":"run_task","events":[{"type":"text","value":"## User message\nTask: Title t\n\ngo"}]})");
}

TEST(DispatchJsonText, MalformedCommandFailsWithDecodeMessageAndStoresNothing) {
  std::unique_ptr<engine::Core> core = engine::Core::create_default();
  Result<std::string> got = engine::dispatch_json(*core, testing::save_skill("a") + "x");
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().message(), "decode CoreCommand JSON");
  Result<store::Repository<skill::Skill>::List> skills = core->stores.skills->list();
  ASSERT_TRUE(skills.ok());
  EXPECT_TRUE(skills->empty());
}

}  // namespace
}  // namespace dovek
