// Decoding of the records that arrive nested in commands: object and array
// forms, and the cause texts for missing, duplicate and mistyped fields.
#include <gtest/gtest.h>

#include <string>

#include "domain/auth.h"
#include "domain/model.h"
#include "domain/run.h"
#include "domain/skill.h"
#include "domain/tool.h"
#include "json/read.h"

namespace dovek {
namespace {

template <class T>
Result<T> decode(std::string_view text, Result<T> (*decoder)(json::Cursor&)) {
  Result<json::Tape> tape = json::Tape::read(text);
  if (!tape.ok()) return Error("bad test input: " + tape.error().message());
  json::Cursor cursor(*tape, 0, /*positions=*/false);
  return decoder(cursor);
}

// A decoder that fills a default record in place, as one that returns it.
template <class T, Status (*into)(json::Cursor&, T&)>
Result<T> returned(json::Cursor& c) {
  T out;
  DOVEK_TRY(into(c, out));
  return out;
}
constexpr auto decode_task = returned<run::Task, run::decode_task_into>;
constexpr auto decode_model = returned<model::Model, model::decode_model_into>;

template <class T>
std::string cause(std::string_view text, Result<T> (*decoder)(json::Cursor&)) {
  Result<T> r = decode(text, decoder);
  return r.ok() ? "<decoded>" : r.error().message();
}

constexpr std::string_view kWriter =
    R"({"id":"writer","name":"Writer","source":"user","source_ref":null,"read_only":false,)"
    R"("description":"Writes prose","content":"Write well.","suggested_tools":["edit","search"]})";

TEST(DecodeSkill, ObjectForm) {
  Result<skill::Skill> s = decode(kWriter, skill::decode_skill);
  ASSERT_TRUE(s.ok()) << s.error().message();
  EXPECT_EQ(s->id(), "writer");
  EXPECT_EQ(s->name(), "Writer");
  EXPECT_EQ(s->source(), skill::Source::kUser);
  EXPECT_FALSE(s->source_ref().has_value());
  EXPECT_FALSE(s->read_only());
  EXPECT_EQ(s->description(), "Writes prose");
  EXPECT_EQ(s->content(), "Write well.");
  EXPECT_EQ(s->suggested_tools(), (std::vector<std::string>{"edit", "search"}));
}

TEST(DecodeSkill, OptionalFieldsMissingOrNullAreAbsent) {
  auto a = decode(R"({"id":"a","name":"A","source":"system","read_only":true,"content":"",)"
                  R"("suggested_tools":[],"x":[1,{"y":2}]})",
                  skill::decode_skill);
  auto b = decode(R"({"id":"a","name":"A","source":"system","read_only":true,"content":"",)"
                  R"("suggested_tools":[],"description":null,"source_ref":null})",
                  skill::decode_skill);
  ASSERT_TRUE(a.ok()) << a.error().message();
  ASSERT_TRUE(b.ok()) << b.error().message();
  EXPECT_FALSE(a->description().has_value());
  EXPECT_FALSE(a->source_ref().has_value());
  EXPECT_EQ(*a, *b);
}

TEST(DecodeSkill, ArrayForm) {
  auto s = decode(R"(["w","W",{"external":null},"ref",true,null,"c",["t"]])", skill::decode_skill);
  ASSERT_TRUE(s.ok()) << s.error().message();
  EXPECT_EQ(s->source(), skill::Source::kExternal);
  EXPECT_EQ(s->source_ref(), "ref");
  EXPECT_TRUE(s->read_only());
  EXPECT_FALSE(s->description().has_value());
  EXPECT_EQ(s->suggested_tools(), std::vector<std::string>{"t"});
}

struct CauseCase {
  std::string text;
  std::string cause;
};

class SkillCause : public testing::TestWithParam<CauseCase> {};

TEST_P(SkillCause, Reported) {
  EXPECT_EQ(cause(GetParam().text, skill::decode_skill), GetParam().cause) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Causes, SkillCause,
    testing::Values(
        CauseCase{R"({"id":"a","name":"A","source":"user","content":"","suggested_tools":[]})",
                  "missing field `read_only`"},
        CauseCase{R"({"id":"a","name":"A","source":"user","read_only":false,"content":""})",
                  "missing field `suggested_tools`"},
        CauseCase{R"({"source":"user","read_only":false,"content":"","suggested_tools":[]})",
                  "missing field `id`"},
        CauseCase{R"({"id":"a","id":"b"})", "duplicate field `id`"},
        CauseCase{R"({"id":"a","name":null})", "invalid type: null, expected a string"},
        CauseCase{R"({"id":"a","read_only":"yes"})",
                  "invalid type: string \"yes\", expected a boolean"},
        CauseCase{R"({"id":"a","suggested_tools":[1]})",
                  "invalid type: integer `1`, expected a string"},
        CauseCase{R"({"id":"a","source":"System"})",
                  "unknown variant `System`, expected one of `system`, `user`, `external`"},
        CauseCase{R"({"id":"a","source":{"bogus":null}})",
                  "unknown variant `bogus`, expected one of `system`, `user`, `external`"},
        CauseCase{R"({"id":"a","source":{}})",
                  "invalid value: map, expected map with a single key"},
        CauseCase{R"({"id":"a","source":{"user":null,"system":null}})",
                  "invalid value: map, expected map with a single key"},
        CauseCase{R"({"id":"a","source":5})", "invalid type: integer `5`, expected string or map"},
        CauseCase{R"({"id":"a","source":null})", "invalid type: null, expected string or map"},
        CauseCase{R"(["a","A","user",null,false,null,"c"])",
                  "invalid length 7, expected struct Skill with 8 elements"},
        CauseCase{R"(["a","A","user",null,false,null,"c",[],1])",
                  "invalid length 9, expected 8 elements in sequence"},
        CauseCase{R"("writer")", "invalid type: string \"writer\", expected struct Skill"}));

TEST(DecodeSkill, SourceAsSingleKeyMap) {
  auto s = decode(R"({"id":"a","name":"A","source":{"user":null},"read_only":false,)"
                  R"("content":"","suggested_tools":[]})",
                  skill::decode_skill);
  ASSERT_TRUE(s.ok()) << s.error().message();
  EXPECT_EQ(s->source(), skill::Source::kUser);
}

TEST(DecodeTask, OnlyIdAndTitle) {
  auto t = decode(R"({"id":"t1","title":"Fix bug","status":"whatever"})", decode_task);
  ASSERT_TRUE(t.ok()) << t.error().message();
  run::Task expected;
  expected.id = "t1";
  expected.title = "Fix bug";
  expected.status = "whatever";
  EXPECT_EQ(*t, expected);
}

TEST(DecodeTask, ArrayForm) {
  auto t = decode(R"(["t","T","in",null,"s",null,null,null,"u","e"])", decode_task);
  ASSERT_TRUE(t.ok()) << t.error().message();
  EXPECT_EQ(t->input, "in");
  EXPECT_FALSE(t->agent_id.has_value());
  EXPECT_EQ(t->session_id, "s");
  EXPECT_EQ(t->updated_at, "u");
  EXPECT_EQ(t->error, "e");
}

TEST(DecodeCauses, OtherRecords) {
  EXPECT_EQ(cause(R"({"id":"t"})", decode_task), "missing field `title`");
  EXPECT_EQ(cause(R"({"input":"x"})", decode_task), "missing field `id`");
  EXPECT_EQ(cause(R"({"id":"t","title":"a","title":"b"})", decode_task), "duplicate field `title`");
  EXPECT_EQ(cause(R"(["t","T"])", decode_task),
            "invalid length 2, expected struct Task with 10 elements");
  EXPECT_EQ(cause("true", decode_task), "invalid type: boolean `true`, expected struct Task");

  EXPECT_EQ(cause(R"({"id":"c1","name":"echo"})", tool::decode_tool_call), "missing field `input`");
  EXPECT_EQ(cause(R"(["c1","echo"])", tool::decode_tool_call),
            "invalid length 2, expected struct ToolCall with 3 elements");
  EXPECT_EQ(cause("null", tool::decode_tool_call), "invalid type: null, expected struct ToolCall");

  EXPECT_EQ(cause(R"({"provider":{"id":"p"},"secret":{}})", auth::decode_profile),
            "missing field `key`");
  EXPECT_EQ(cause(R"([{"id":"p"}])", auth::decode_profile),
            "invalid length 1, expected struct Profile with 2 elements");
  EXPECT_EQ(cause("[]", auth::decode_secret_ref),
            "invalid length 0, expected struct SecretRef with 1 element");
  EXPECT_EQ(cause("[]", auth::decode_provider),
            "invalid length 0, expected struct Provider with 1 element");
  EXPECT_EQ(cause(R"({"key":null})", auth::decode_secret_ref),
            "invalid type: null, expected a string");

  EXPECT_EQ(cause(R"({"provider":"p","id":"m"})", decode_model),
            "invalid type: string \"p\", expected struct Provider");
  EXPECT_EQ(cause(R"([{"id":"p"}])", decode_model),
            "invalid length 1, expected struct Model with 2 elements");
  EXPECT_EQ(cause(R"({"provider":{"id":"p"}})", decode_model), "missing field `id`");
  EXPECT_EQ(cause("1.5", decode_model),
            "invalid type: floating point `1.5`, expected struct Model");
}

TEST(DecodeToolCall, InputIsAnyValueNullIncluded) {
  auto null_input = decode(R"({"id":"c1","name":"echo","input":null})", tool::decode_tool_call);
  ASSERT_TRUE(null_input.ok()) << null_input.error().message();
  EXPECT_TRUE(null_input->input.is_null());

  auto nested = decode(R"(["c2","echo",{"b":[1,-2,3.5],"a":"x"}])", tool::decode_tool_call);
  ASSERT_TRUE(nested.ok()) << nested.error().message();
  EXPECT_EQ(nested->id, "c2");
  EXPECT_EQ(json::write(nested->input), R"({"a":"x","b":[1,-2,3.5]})");
}

TEST(DecodeProfile, BothForms) {
  auto p =
      decode(R"({"secret":{"key":"OPENAI_KEY"},"provider":{"id":"openai"}})", auth::decode_profile);
  ASSERT_TRUE(p.ok()) << p.error().message();
  EXPECT_EQ(*p, (auth::Profile{{"openai"}, {"OPENAI_KEY"}}));
  auto q = decode(R"([["openai"],["OPENAI_KEY"]])", auth::decode_profile);
  ASSERT_TRUE(q.ok()) << q.error().message();
  EXPECT_EQ(*q, *p);
}

}  // namespace
}  // namespace dovek
