// write_record: the exact texts of the records read back from a core, and
// of the records and events that responses carry.
#include "protocol/records.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace dovek {
namespace {

using protocol::encode_record;

Result<model::Model> decode_model(std::string_view text) {
  Result<json::Tape> tape = json::Tape::read(text);
  if (!tape.ok()) return Error("bad test input: " + tape.error().message());
  json::Cursor cursor(*tape, 0, /*positions=*/false);
  model::Model out;
  DOVEK_TRY(model::decode_model_into(cursor, out));
  return out;
}

TEST(WriteRecord, FieldsInOrderAbsentAsNull) {
  const skill::Skill skill(skill::SkillFields{"",
                                              "q\" b\\ t\t u\x01 / \xC3\xA9",
                                              skill::Source::kExternal,
                                              std::nullopt,
                                              true,
                                              "line\nline",
                                              "c",
                                              {"a", "b"}});
  EXPECT_EQ(
      encode_record(skill),
      "{\"id\":\"\",\"name\":\"q\\\" b\\\\ t\\t u\\u0001 / \xC3\xA9\",\"source\":\"external\","
      "\"source_ref\":null,\"read_only\":true,\"description\":\"line\\nline\","
      "\"content\":\"c\",\"suggested_tools\":[\"a\",\"b\"]}");
  const run::Task task{"t",        "T",          std::nullopt, "ag", std::nullopt,
                       "whatever", std::nullopt, "c",          "u",  std::nullopt};
  EXPECT_EQ(encode_record(task),
            R"({"id":"t","title":"T","input":null,"agent_id":"ag","session_id":null,)"
            R"("status":"whatever","schedule":null,"created_at":"c","updated_at":"u",)"
            R"("error":null})");
  EXPECT_EQ(encode_record(auth::Profile{{"p\\"}, {"k"}}),
            R"({"provider":{"id":"p\\"},"secret":{"key":"k"}})");

  chat::Session session = chat::Session::create("s");
  session.title = "1";
  session.summary = "5";
  session.updated_at = "8";
  session.push({"hi \"you\"", chat::Role::kUser});
  session.push({"", chat::Role::kAssistant});
  EXPECT_EQ(encode_record(session),
            R"({"id":"s","title":"1","agent_id":null,"model_id":null,"provider_id":null,)"
            R"("summary":"5","parent_id":null,"created_at":null,"updated_at":"8","messages":[)"
            R"({"role":"user","content":"hi \"you\""},{"role":"assistant","content":""}]})");
}

// Replies that repeat the user message before them and the start of the
// reply before them are stored in pieces; each message still reads back
// whole, escapes included, also next to a piece's edge.
TEST(WriteRecord, SessionHistoryStoredInPiecesReadsBackWhole) {
  const std::string blocks = "\tskills: \"a\" and \"b\", read them all before you answer\n";
  chat::Session s = chat::Session::create("s");
  std::vector<chat::Message> expected;
  for (const char* u : {"first question, long enough to be referred to later\x01",
                        "\x02second question, also long enough to be referred to"}) {
    expected.push_back({u, chat::Role::kUser});
    expected.push_back({blocks + u, chat::Role::kAssistant});
  }
  for (const chat::Message& m : expected) s.push(m);
  // The last reply refers to both: the test covers the joined read.
  std::vector<chat::MessageList::Parts> parts;
  s.messages.for_each([&](const chat::MessageList::Parts& p) { parts.push_back(p); });
  ASSERT_EQ(parts.size(), 4u);
  ASSERT_FALSE(parts[3].parts[0].empty() || parts[3].parts[2].empty());

  std::string want = R"({"id":"s","title":null,"agent_id":null,"model_id":null,)"
                     R"("provider_id":null,"summary":null,"parent_id":null,"created_at":null,)"
                     R"("updated_at":null,"messages":[)";
  for (const chat::Message& m : expected) {
    want += m.role == chat::Role::kUser ? R"({"role":"user")" : R"({"role":"assistant")";
    want += ",\"content\":";
    want += json::write(json::Value(m.content));
    want += "},";
  }
  want.back() = ']';
  EXPECT_EQ(encode_record(s), want + "}");
}

TEST(ModelJson, RoundTrip) {
  constexpr std::string_view kText = R"({"provider":{"id":"p"},"id":"m"})";
  auto m = decode_model(kText);
  ASSERT_TRUE(m.ok()) << m.error().message();
  json::Writer w;
  protocol::write_record(w, *m);
  EXPECT_EQ(w.text(), kText);

  json::Writer d;
  protocol::write_record(d, model::Model::create("openai", "gpt-5.5"));
  EXPECT_EQ(d.text(), R"({"provider":{"id":"openai"},"id":"gpt-5.5"})");
}

TEST(RunJson, ElevenKeysInOrderWithNulls) {
  json::Writer w;
  protocol::write_record(w, run::Run::create("r1", "t1"));
  EXPECT_EQ(w.text(),
            R"({"id":"r1","task_id":"t1","status":"pending","raw_status":null,"session_id":null,)"
            R"("execution_id":null,"checkpoint_id":null,"error":null,"started_at":null,)"
            R"("updated_at":null,"ended_at":null})");

  run::Run r = run::Run::create("r\"2", "t");
  r.status = run::RunStatus::kCanceled;
  r.session_id = "";
  r.ended_at = "later";
  json::Writer v;
  protocol::write_record(v, r);
  EXPECT_EQ(v.text(),
            R"({"id":"r\"2","task_id":"t","status":"canceled","raw_status":null,"session_id":"",)"
            R"("execution_id":null,"checkpoint_id":null,"error":null,"started_at":null,)"
            R"("updated_at":null,"ended_at":"later"})");
}

TEST(EventJson, EveryAlternative) {
  auto text = [](const event::Event& e) {
    json::Writer w;
    protocol::write_record(w, e);
    return w.take();
  };
  json::Object input;
  input.set("b", json::Array{1, "x"});
  input.set("a", json::Value());
  EXPECT_EQ(text(event::Text{"line\n\"q\""}), R"({"type":"text","value":"line\n\"q\""})");
  EXPECT_EQ(text(event::ToolCallEvent{"c1", "echo", input}),
            R"({"type":"tool_call","id":"c1","name":"echo","input":{"a":null,"b":[1,"x"]}})");
  EXPECT_EQ(text(event::ToolResult{"c1", 42}), R"({"type":"tool_result","id":"c1","value":42})");
  EXPECT_EQ(text(event::ErrorEvent{"tool not found: echo"}),
            R"({"type":"error","message":"tool not found: echo"})");
  EXPECT_EQ(text(event::Done{}), R"({"type":"done"})");
}

}  // namespace
}  // namespace dovek
