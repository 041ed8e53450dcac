// encode_response: the exact response texts.
#include "protocol/encode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "json/value.h"

namespace dovek {
namespace {

using protocol::encode_response;

struct Encoded {
  const char* name;
  protocol::CoreResponse response;
  std::string text;
};
void PrintTo(const Encoded& p, std::ostream* os) { *os << p.name; }


class EncodeResponse : public ::testing::TestWithParam<Encoded> {};

TEST_P(EncodeResponse, WritesExactText) {
  EXPECT_EQ(encode_response(GetParam().response), GetParam().text);
}

run::Run full_run() {
  run::Run r = run::Run::create("r", "t");
  r.status = run::RunStatus::kCanceled;
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
        Encoded{"Saved", protocol::Saved{}, R"({"type":"saved"})"},
        Encoded{"DefaultModel", protocol::ModelSwitched{model::Model::create("openai", "gpt-5.5")},
                R"({"type":"model_switched","model":{"provider":{"id":"openai"},"id":"gpt-5.5"}})"},
        Encoded{"EmptyChatTurn", protocol::ChatTurnResponse{},
                R"({"type":"chat_turn","events":[]})"},
        Encoded{"EmptyRunTask", protocol::RunTaskResponse{}, R"({"type":"run_task","events":[]})"},
        Encoded{"EmptyToolEvents", protocol::ToolEvents{}, R"({"type":"tool_events","events":[]})"},
        Encoded{"NewRun", protocol::RunStarted{run::Run::create("r1", "t1")},
                R"({"type":"run_started","run":{"id":"r1","task_id":"t1","status":"pending",)"
                R"("raw_status":null,"session_id":null,"execution_id":null,"checkpoint_id":null,)"
                R"("error":null,"started_at":null,"updated_at":null,"ended_at":null}})"},
        Encoded{"FullRun", protocol::RunStarted{full_run()},
                R"({"type":"run_started","run":{"id":"r","task_id":"t","status":"canceled",)"
                R"("raw_status":"raw","session_id":"","execution_id":"e","checkpoint_id":"c",)"
                R"("error":"bad","started_at":"1","updated_at":"2","ended_at":"3"}})"},
        Encoded{"EveryEventKind",
                protocol::RunTaskResponse{{event::Text{"t"},
                                           event::ToolCallEvent{"c", "n", json::Value()},
                                           event::ToolResult{"c", json::Value(json::Array{})},
                                           event::ErrorEvent{"e"}, event::Done{}}},
                R"({"type":"run_task","events":[{"type":"text","value":"t"},)"
                R"({"type":"tool_call","id":"c","name":"n","input":null},)"
                R"({"type":"tool_result","id":"c","value":[]},{"type":"error","message":"e"},)"
                R"({"type":"done"}]})"},
        Encoded{"Numbers", protocol::ToolEvents{{event::ToolResult{"", number_mix()}}},
                R"({"type":"tool_events","events":[{"type":"tool_result","id":"","value":)"
                R"({"":18446744073709551615,"B":-9223372036854775808,"a":null,)"
                R"("b":[3,3.0,-3,0.0,1e+21,1.5e-7,0.1]}}]})"},
        Encoded{"Escaping",
                protocol::ChatTurnResponse{{event::ErrorEvent{"q\" b\\ t\t u\x01 / \xC3\xA9 \x7F"
                                                              "\b\f\n\r\x1F"}}},
                "{\"type\":\"chat_turn\",\"events\":[{\"type\":\"error\",\"message\":"
                "\"q\\\" b\\\\ t\\t u\\u0001 / \xC3\xA9 \x7F\\b\\f\\n\\r\\u001f\"}]}"},
        Encoded{"EscapedKeysAndModel", protocol::ModelSwitched{model::Model::create("a\"b", "\n")},
                R"({"type":"model_switched","model":{"provider":{"id":"a\"b"},"id":"\n"}})"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dovek
