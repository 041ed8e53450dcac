// write_record: the exact texts of the records read back from a core.
#include "protocol/records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dovek {
namespace {

using protocol::encode_record;

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

}  // namespace
}  // namespace dovek
