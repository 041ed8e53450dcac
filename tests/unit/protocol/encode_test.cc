// encode_response and dispatch_json: the exact response texts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "engine/core.h"
#include "protocol/server.h"
#include "test_util.h"

namespace dovek {
namespace {

using server::encode_response;

struct Encoded {
  const char* name;
  proto::CoreResponse response;
  std::string text;
};
void PrintTo(const Encoded& p, std::ostream* os) { *os << p.name; }


class EncodeResponse : public ::testing::TestWithParam<Encoded> {};

TEST_P(EncodeResponse, WritesExactText) {
  Result<std::string> got = encode_response(GetParam().response);
  ASSERT_TRUE(got.ok()) << got.error().chain();
  EXPECT_EQ(*got, GetParam().text);
}

run::Run full_run() {
  run::Run r = run::Run::create("r", "t");
  r.status = run::Status::Canceled;
  r.raw_status = "raw";
  r.session_id = "";
  r.execution_id = "e";
  r.checkpoint_id = "c";
  r.error = "bad";
  r.started_at = "1";
  r.updated_at = "2";
  r.ended_at = "3";
  return r;
}

json::Value number_mix() {
  json::Object o;
  o.set("b", json::Array{json::Value(3), json::Value(3.0), json::Value(-3), json::Value(0.0),
                         json::Value(1e21), json::Value(1.5e-7), json::Value(0.1)});
  o.set("a", json::Value(std::numeric_limits<double>::infinity()));
  o.set("", json::Value(uint64_t{18446744073709551615u}));
  o.set("B", json::Value(int64_t{-9223372036854775807 - 1}));
  return json::Value(std::move(o));
}

INSTANTIATE_TEST_SUITE_P(
    Responses, EncodeResponse,
    ::testing::Values(
        Encoded{"Saved", proto::Saved{}, R"({"type":"saved"})"},
        Encoded{"DefaultModel", proto::ModelSwitched{model::Model::create("openai", "gpt-5.5")},
                R"({"type":"model_switched","model":{"provider":{"id":"openai"},"id":"gpt-5.5"}})"},
        Encoded{"EmptyChatTurn", proto::ChatTurnResponse{}, R"({"type":"chat_turn","events":[]})"},
        Encoded{"EmptyRunTask", proto::RunTaskResponse{}, R"({"type":"run_task","events":[]})"},
        Encoded{"EmptyToolEvents", proto::ToolEvents{}, R"({"type":"tool_events","events":[]})"},
        Encoded{"NewRun", proto::RunStarted{run::Run::create("r1", "t1")},
                R"({"type":"run_started","run":{"id":"r1","task_id":"t1","status":"pending",)"
                R"("raw_status":null,"session_id":null,"execution_id":null,"checkpoint_id":null,)"
                R"("error":null,"started_at":null,"updated_at":null,"ended_at":null}})"},
        Encoded{"FullRun", proto::RunStarted{full_run()},
                R"({"type":"run_started","run":{"id":"r","task_id":"t","status":"canceled",)"
                R"("raw_status":"raw","session_id":"","execution_id":"e","checkpoint_id":"c",)"
                R"("error":"bad","started_at":"1","updated_at":"2","ended_at":"3"}})"},
        Encoded{"EveryEventKind",
                proto::RunTaskResponse{{event::Text{"t"},
                                        event::ToolCallEvent{"c", "n", json::Value()},
                                        event::ToolResult{"c", json::Value(json::Array{})},
                                        event::ErrorEvent{"e"}, event::Done{}}},
                R"({"type":"run_task","events":[{"type":"text","value":"t"},)"
                R"({"type":"tool_call","id":"c","name":"n","input":null},)"
                R"({"type":"tool_result","id":"c","value":[]},{"type":"error","message":"e"},)"
                R"({"type":"done"}]})"},
        Encoded{"Numbers", proto::ToolEvents{{event::ToolResult{"", number_mix()}}},
                R"({"type":"tool_events","events":[{"type":"tool_result","id":"","value":)"
                R"({"":18446744073709551615,"B":-9223372036854775808,"a":null,)"
                R"("b":[3,3.0,-3,0.0,1e+21,1.5e-7,0.1]}}]})"},
        Encoded{"Escaping",
                proto::ChatTurnResponse{{event::ErrorEvent{"q\" b\\ t\t u\x01 / \xC3\xA9 \x7F"
                                                           "\b\f\n\r\x1F"}}},
                "{\"type\":\"chat_turn\",\"events\":[{\"type\":\"error\",\"message\":"
                "\"q\\\" b\\\\ t\\t u\\u0001 / \xC3\xA9 \x7F\\b\\f\\n\\r\\u001f\"}]}"},
        Encoded{"EscapedKeysAndModel",
                proto::ModelSwitched{model::Model::create("a\"b", "\n")},
                R"({"type":"model_switched","model":{"provider":{"id":"a\"b"},"id":"\n"}})"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- whole commands through dispatch_json ----

struct Exchange {
  const char* name;
  std::string command;
  std::string response;
};
void PrintTo(const Exchange& p, std::ostream* os) { *os << p.name; }


class DispatchJson : public ::testing::TestWithParam<Exchange> {};

TEST_P(DispatchJson, AnswersExactText) {
  std::unique_ptr<engine::Core> core = engine::Core::create_default();
  Result<std::string> got = server::dispatch_json(*core, GetParam().command);
  ASSERT_TRUE(got.ok()) << got.error().chain();
  EXPECT_EQ(*got, GetParam().response);
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
  Result<std::string> got = server::dispatch_json(*core, testing::chat_turn("s", "say \\\"hi\\\""));
  ASSERT_TRUE(got.ok()) << got.error().chain();
  EXPECT_EQ(*got,
            R"({"type":"chat_turn","events":[{"type":"text","value":"## User message\nsay \"hi\""}]})");
}

TEST(DispatchJsonText, RunTaskAnswersOneTextEventWithTheTaskPrompt) {
  std::unique_ptr<engine::Core> core = engine::Core::create_default();
  Result<std::string> got = server::dispatch_json(*core, testing::run_task("r", "t", "go"));
  ASSERT_TRUE(got.ok()) << got.error().chain();
  EXPECT_EQ(*got,
            R"({"type":"run_task","events":[{"type":"text","value":"## User message\nTask: Title t\n\ngo"}]})");
}

TEST(DispatchJsonText, MalformedCommandFailsWithDecodeMessageAndStoresNothing) {
  std::unique_ptr<engine::Core> core = engine::Core::create_default();
  Result<std::string> got = server::dispatch_json(*core, testing::save_skill("a") + "x");
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().message(), "decode CoreCommand JSON");
  Result<store::Repository<skill::Skill>::List> skills = core->stores.skills->list();
  ASSERT_TRUE(skills.ok());
  EXPECT_TRUE((*skills)->empty());
}

}  // namespace
}  // namespace dovek
