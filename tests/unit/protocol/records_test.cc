// write_record: the exact texts of the records read back from a core.
#include "protocol/records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dovek {
namespace {

using protocol::encode_record;

skill::Skill bare_skill() {
  return skill::Skill(skill::SkillFields{
      "s", "n", skill::Source::External, std::nullopt, false, std::nullopt, "c", {}});
}

skill::Skill full_skill() {
  return skill::Skill(skill::SkillFields{"",
                                         "q\" b\\ t\t u\x01 / \xC3\xA9",
                                         skill::Source::System,
                                         "ref",
                                         true,
                                         "line\nline",
                                         "x",
                                         {"a", "b\""}});
}

run::Task task(std::string id, std::string title) {
  run::Task t;
  t.id = std::move(id);
  t.title = std::move(title);
  return t;
}

run::Task full_task() {
  return run::Task{"t", "T", "in", "ag", "se", "whatever", "daily", "c", "u", "e"};
}

TEST(WriteRecord, ExactTexts) {
  EXPECT_EQ(encode_record(bare_skill()),
            R"({"id":"s","name":"n","source":"external","source_ref":null,"read_only":false,)"
            R"("description":null,"content":"c","suggested_tools":[]})");
  EXPECT_EQ(encode_record(full_skill()),
            "{\"id\":\"\",\"name\":\"q\\\" b\\\\ t\\t u\\u0001 / \xC3\xA9\",\"source\":\"system\","
            "\"source_ref\":\"ref\",\"read_only\":true,\"description\":\"line\\nline\","
            "\"content\":\"x\",\"suggested_tools\":[\"a\",\"b\\\"\"]}");
  EXPECT_EQ(encode_record(task("t", "T")),
            R"({"id":"t","title":"T","input":null,"agent_id":null,"session_id":null,)"
            R"("status":null,"schedule":null,"created_at":null,"updated_at":null,"error":null})");
  EXPECT_EQ(encode_record(full_task()),
            R"({"id":"t","title":"T","input":"in","agent_id":"ag","session_id":"se",)"
            R"("status":"whatever","schedule":"daily","created_at":"c","updated_at":"u",)"
            R"("error":"e"})");
  EXPECT_EQ(encode_record(auth::Profile{{"p\\"}, {"k"}}),
            R"({"provider":{"id":"p\\"},"secret":{"key":"k"}})");
  EXPECT_EQ(encode_record(run::Run::create("r1", "t1")),
            R"({"id":"r1","task_id":"t1","status":"pending","raw_status":null,)"
            R"("session_id":null,"execution_id":null,"checkpoint_id":null,"error":null,)"
            R"("started_at":null,"updated_at":null,"ended_at":null})");
  EXPECT_EQ(encode_record(model::Model::create("openai", "gpt-5.5")),
            R"({"provider":{"id":"openai"},"id":"gpt-5.5"})");
}

TEST(WriteRecord, Sessions) {
  EXPECT_EQ(
      encode_record(chat::Session::create("s1")),
      R"({"id":"s1","title":null,"agent_id":null,"model_id":null,"provider_id":null,)"
      R"("summary":null,"parent_id":null,"created_at":null,"updated_at":null,"messages":[]})");

  chat::Session s = chat::Session::create("s");
  s.title = "1";
  s.agent_id = "2";
  s.model_id = "3";
  s.provider_id = "4";
  s.summary = "5";
  s.parent_id = "6";
  s.created_at = "7";
  s.updated_at = "8";
  s.push({"hi \"you\"", chat::Role::User});
  s.push({"", chat::Role::Assistant});
  EXPECT_EQ(encode_record(s),
            R"({"id":"s","title":"1","agent_id":"2","model_id":"3","provider_id":"4",)"
            R"("summary":"5","parent_id":"6","created_at":"7","updated_at":"8","messages":[)"
            R"({"role":"user","content":"hi \"you\""},{"role":"assistant","content":""}]})");
}

// A history whose replies repeat the user message before them and the start
// of the reply before them is stored in pieces; every message still reads
// back whole, escapes included, also where one sits next to a piece's edge.
TEST(WriteRecord, SessionHistoryStoredInPiecesReadsBackWhole) {
  const std::string blocks = "\tskills: \"a\" and \"b\", read them all before you answer\n";
  const std::vector<std::string> users = {
      "first question, long enough to be referred to later\x01",
      "\x02second question, also long enough to be referred to",
  };
  chat::Session s = chat::Session::create("s");
  std::vector<chat::Message> expected;
  for (const std::string& u : users) {
    expected.push_back({u, chat::Role::User});
    expected.push_back({blocks + u, chat::Role::Assistant});
  }
  for (const chat::Message& m : expected) s.push(m);

  // The last reply is its predecessor's start plus the user message: both
  // references, so the test covers the joined read.
  std::vector<chat::MessageList::Parts> parts;
  s.messages.for_each([&](const chat::MessageList::Parts& p) { parts.push_back(p); });
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_FALSE(parts[3].parts[0].empty());
  EXPECT_FALSE(parts[3].parts[2].empty());

  std::string want = R"({"id":"s","title":null,"agent_id":null,"model_id":null,)"
                     R"("provider_id":null,"summary":null,"parent_id":null,"created_at":null,)"
                     R"("updated_at":null,"messages":[)";
  for (size_t i = 0; i < expected.size(); ++i) {
    want += i == 0 ? "{" : ",{";
    want += expected[i].role == chat::Role::User ? R"("role":"user")" : R"("role":"assistant")";
    want += ",\"content\":";
    json::append_string(want, expected[i].content);
    want += "}";
  }
  want += "]}";
  EXPECT_EQ(encode_record(s), want);
}

}  // namespace
}  // namespace dovek
