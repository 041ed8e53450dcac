#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "json/read.h"

namespace dovek::json {
namespace {

// A small record with every kind of field the toolkit decodes.
struct Sample {
  uint32_t version = 0;
  size_t kind = 0;
  std::string name;
  std::vector<std::string> tags;
  std::optional<std::string> note;
};

constexpr std::string_view kFields[] = {"version", "kind", "name", "tags", "note"};
constexpr std::string_view kKinds[] = {"rust_binary", "python_uv"};
const RecordShape kShape{"struct Sample", kFields, 0b00111, 3};

Result<Sample> decode_sample(Cursor& c) {
  Sample s;
  DOVEK_TRY(c.record(kShape, [&](size_t field, Cursor& f) -> Status {
    switch (field) {
      case 0: {
        DOVEK_ASSIGN_OR_RETURN(s.version, f.u32());
        break;
      }
      case 1: {
        DOVEK_ASSIGN_OR_RETURN(s.kind, f.unit_variant(kKinds, "`rust_binary` or `python_uv`"));
        break;
      }
      case 2: {
        DOVEK_ASSIGN_OR_RETURN(s.name, f.string());
        break;
      }
      case 3: {
        DOVEK_ASSIGN_OR_RETURN(s.tags, f.string_array());
        break;
      }
      case 4: {
        DOVEK_ASSIGN_OR_RETURN(s.note, f.optional_string());
        break;
      }
    }
    return ok_status();
  }));
  return s;
}

Result<Sample> decode(std::string_view text, bool positions = false) {
  return decode_text<Sample>(text, positions, decode_sample);
}

std::string error_of(std::string_view text, bool positions = false) {
  Result<Sample> r = decode(text, positions);
  return r.ok() ? "ok" : r.error().message();
}

TEST(CursorTest, ObjectFormInAnyOrderSkippingUnknownKeys) {
  Result<Sample> r =
      decode(R"({"extra":{"deep":[1,{"x":null}]},"name":"n","tags":["a","b"],"kind":"python_uv",)"
             R"("note":null,"version":4294967295,"extra":2})");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->version, 4294967295u);
  EXPECT_EQ(r->kind, 1u);
  EXPECT_EQ(r->name, "n");
  EXPECT_EQ(r->tags, (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(r->note.has_value());

  r = decode(R"({"version":1,"kind":{"rust_binary":null},"name":"","note":"hi"})");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->kind, 0u);
  EXPECT_EQ(r->note, "hi");
  EXPECT_TRUE(r->tags.empty());
}

TEST(CursorTest, ArrayForm) {
  Result<Sample> r = decode(R"([7,"rust_binary","n"])");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->version, 7u);
  EXPECT_EQ(r->name, "n");
  r = decode(R"([7,"python_uv","n",["t"],"x"])");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->tags, std::vector<std::string>{"t"});
  EXPECT_EQ(r->note, "x");

  EXPECT_EQ(error_of(R"([7,"python_uv"])"),
            "invalid length 2, expected struct Sample with 5 elements");
  EXPECT_EQ(error_of("[]"), "invalid length 0, expected struct Sample with 5 elements");
  EXPECT_EQ(error_of(R"([7,"python_uv","n",[],null,1])"),
            "invalid length 6, expected 5 elements in sequence");
  // Element errors come before length errors.
  EXPECT_EQ(error_of(R"([null,"python_uv"])"), "invalid type: null, expected u32");
}

TEST(CursorTest, SingularLengthTexts) {
  constexpr std::string_view fields[] = {"call"};
  const RecordShape shape{"struct variant CoreCommand::CallTool", fields, 1, 1};
  auto run = [&](std::string_view text) {
    Result<Tape> tape = Tape::read(text);
    Cursor c(*tape, 0, false);
    Status s = c.record(shape, [](size_t, Cursor& f) -> Status {
      f.skip();
      return ok_status();
    });
    return s.ok() ? std::string("ok") : s.error().message();
  };
  EXPECT_EQ(run("[]"),
            "invalid length 0, expected struct variant CoreCommand::CallTool with 1 element");
  EXPECT_EQ(run("[1,2]"), "invalid length 2, expected 1 element in sequence");
  EXPECT_EQ(run("[1]"), "ok");
}

TEST(CursorTest, FieldErrorsInTextOrderThenMissing) {
  struct Case {
    std::string text, message;
  } cases[] = {
      {R"({"version":1,"name":"n"})", "missing field `kind`"},
      {R"({})", "missing field `version`"},
      {R"({"version":1,"version":2})", "duplicate field `version`"},
      {R"({"name":null,"version":1,"version":2})", "invalid type: null, expected a string"},
      {R"({"version":1,"version":2,"name":null})", "duplicate field `version`"},
      {R"({"name":5})", "invalid type: integer `5`, expected a string"},
      {R"({"tags":"x"})", "invalid type: string \"x\", expected a sequence"},
      {R"({"tags":["a",1]})", "invalid type: integer `1`, expected a string"},
      {R"({"note":false})", "invalid type: boolean `false`, expected a string"},
      {R"({"version":-1})", "invalid value: integer `-1`, expected u32"},
      {R"({"version":4294967296})", "invalid value: integer `4294967296`, expected u32"},
      {R"({"version":1.0})", "invalid type: floating point `1.0`, expected u32"},
      {R"({"version":1e3})", "invalid type: floating point `1000.0`, expected u32"},
      {R"({"version":"1"})", "invalid type: string \"1\", expected u32"},
      {R"({"kind":"go"})", "unknown variant `go`, expected `rust_binary` or `python_uv`"},
      {R"({"kind":"Python_uv"})",
       "unknown variant `Python_uv`, expected `rust_binary` or `python_uv`"},
      {R"({"kind":{"python_uv":1}})", "invalid type: integer `1`, expected unit"},
      {R"({"kind":{"cargo":null}})",
       "unknown variant `cargo`, expected `rust_binary` or `python_uv`"},
      {R"({"kind":{}})", "expected value"},
      {R"({"kind":{"python_uv":null,"rust_binary":null}})", "expected value"},
      {R"({"kind":3})", "expected value"},
      {R"("x")", "invalid type: string \"x\", expected struct Sample"},
      {R"(null)", "invalid type: null, expected struct Sample"},
      // Unknown keys may repeat.
      {R"({"x":1,"x":2})", "missing field `version`"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_of(c.text), c.message) << c.text;
}

TEST(CursorTest, PositionsWhenEnabled) {
  EXPECT_EQ(error_of("{\n\"version\":1,\n\"version\":2}", true),
            "duplicate field `version` at line 3 column 1");
  EXPECT_EQ(error_of("{\"version\":1,\n  \"name\":\"n\"\n}", true),
            "missing field `kind` at line 3 column 1");
  EXPECT_EQ(error_of("[1,\n  \"rust_binary\", null]", true),
            "invalid type: null, expected a string at line 2 column 18");
  EXPECT_EQ(error_of("{\"version\":1,\"version\":2}", false), "duplicate field `version`");
}

TEST(CursorTest, SyntaxFirstThenFieldsThenTrailing) {
  EXPECT_EQ(error_of(R"({"name":null,})"), "trailing comma at line 1 column 14");
  EXPECT_EQ(error_of(R"({"name":null} x)"), "invalid type: null, expected a string");
  EXPECT_EQ(error_of(R"({"version":1,"kind":"python_uv","name":"n"} x)"),
            "trailing characters at line 1 column 45");
  EXPECT_EQ(error_of("{\"version\":1,\"kind\":\"python_uv\",\"name\":\"n\"}\n "), "ok");
}

TEST(CursorTest, NestingLimitCountsSkippedMembers) {
  auto with_extra = [](int depth) {
    std::string extra(static_cast<size_t>(depth), '[');
    extra += std::string(static_cast<size_t>(depth), ']');
    return R"({"version":1,"kind":"python_uv","name":"n","extra":)" + extra + "}";
  };
  // The record itself is the first level.
  EXPECT_EQ(error_of(with_extra(126)), "ok");
  EXPECT_EQ(error_of(with_extra(127)), "recursion limit exceeded at line 1 column 178");
}

TEST(CursorTest, FoundDescribesValues) {
  struct Case {
    const char* text;
    const char* found;
  } cases[] = {
      {"null", "null"},
      {"true", "boolean `true`"},
      {"5", "integer `5`"},
      {"-5", "integer `-5`"},
      {"1.5", "floating point `1.5`"},
      {"1e21", "floating point `1000000000000000000000.0`"},
      {"-1e-7", "floating point `-0.0000001`"},
      // The writer's digits, always in plain notation.
      {"-0.0", "floating point `-0.0`"},
      {"0e9", "floating point `0.0`"},
      {"123.456e2", "floating point `12345.6`"},
      {R"("a\"b\n")", R"(string "a\"b\n")"},
      {"[1]", "sequence"},
      {"{}", "map"},
  };
  for (const Case& c : cases) {
    Result<Tape> tape = Tape::read(c.text);
    ASSERT_TRUE(tape.ok());
    EXPECT_EQ(Cursor(*tape, 0, false).found(), c.found) << c.text;
  }
  Result<Tape> tiny = Tape::read("5e-324");
  EXPECT_EQ(Cursor(*tiny, 0, false).found(), "floating point `0." + std::string(323, '0') + "5`");
  Result<Tape> huge = Tape::read("-1.7976931348623157e308");
  EXPECT_EQ(Cursor(*huge, 0, false).found(),
            "floating point `-17976931348623157" + std::string(292, '0') + ".0`");
}

TEST(CursorTest, ValueAndSkipConsumeWholeValues) {
  Result<Tape> tape = Tape::read(R"([{"b":[1,2],"a":{}},"x",3])");
  ASSERT_TRUE(tape.ok());
  Cursor c(*tape, 1, false);
  Value v = c.value();
  EXPECT_EQ(v.as_object().size(), 2u);
  EXPECT_EQ(c.kind(), TokenKind::kString);
  c.skip();
  EXPECT_EQ(c.kind(), TokenKind::kU64);
  c.skip();
  EXPECT_EQ(c.kind(), TokenKind::kArrayEnd);
}

}  // namespace
}  // namespace dovek::json
