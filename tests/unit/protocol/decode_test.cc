// decode_command: accepted forms, every structural cause text, and which
// failure wins when a text has several.
#include "protocol/decode.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace dovek::protocol {
// Field-wise equality, so decoded commands can be compared as wholes.
bool operator==(const SaveSkill& a, const SaveSkill& b) { return a.skill == b.skill; }
bool operator==(const SaveProfile& a, const SaveProfile& b) { return a.profile == b.profile; }
bool operator==(const SwitchModel& a, const SwitchModel& b) { return a.model == b.model; }
bool operator==(const ChatTurn& a, const ChatTurn& b) {
  return a.session_id == b.session_id && a.message == b.message &&
         a.assigned_skills == b.assigned_skills;
}
bool operator==(const StartRun& a, const StartRun& b) {
  return a.task == b.task && a.run_id == b.run_id && a.session_id == b.session_id;
}
bool operator==(const RunTask& a, const RunTask& b) {
  return a.run_id == b.run_id && a.task == b.task && a.message == b.message &&
         a.assigned_skills == b.assigned_skills;
}
bool operator==(const CallTool& a, const CallTool& b) { return a.call == b.call; }
}  // namespace dovek::protocol

namespace dovek {
namespace {

using protocol::decode_command;

const std::string kSkill =
    R"({"id":"a","name":"Name","source":"user","read_only":false,"content":"do it",)"
    R"("suggested_tools":[]})";
const std::string kTask = R"({"id":"t1","title":"T","status":"whatever"})";
const std::string kProfile = R"({"provider":{"id":"p"},"secret":{"key":"k"}})";
const std::string kModel = R"({"provider":{"id":"p"},"id":"m"})";
const std::string kCall = R"({"id":"c1","name":"echo","input":{"b":[1,2.5,null],"a":"x"}})";

// ---- accepted texts: each decodes exactly like its canonical form ----

struct Equivalent {
  const char* name;
  std::string text;
  std::string canonical;
};
void PrintTo(const Equivalent& p, std::ostream* os) { *os << p.name; }


// One tape reused by every case below, as a core reuses it from command to
// command: whatever the previous case left in it (a value or a failure),
// decoding into it must give what a fresh decode gives.
json::Tape& shared_scratch() {
  static json::Tape tape;
  return tape;
}

class DecodeAccepts : public ::testing::TestWithParam<Equivalent> {};

TEST_P(DecodeAccepts, DecodesLikeCanonicalForm) {
  const Equivalent& p = GetParam();
  Result<protocol::CoreCommand> got = decode_command(p.text);
  ASSERT_TRUE(got.ok()) << got.error().chain();
  Result<protocol::CoreCommand> want = decode_command(p.canonical);
  ASSERT_TRUE(want.ok()) << want.error().chain();
  EXPECT_EQ(*got, *want);
  Result<protocol::CoreCommand> reused = decode_command(p.text, shared_scratch());
  ASSERT_TRUE(reused.ok()) << reused.error().chain();
  EXPECT_EQ(*reused, *want);
}

const std::string kChat =
    R"({"type":"chat_turn","session_id":"s1","message":"hello","assigned_skills":["writer"]})";

INSTANTIATE_TEST_SUITE_P(
    Forms, DecodeAccepts,
    ::testing::Values(
        Equivalent{
            "TypeLast",
            R"({"session_id":"s1","message":"hello","assigned_skills":["writer"],"type":"chat_turn"})",
            kChat},
        Equivalent{
            "TypeInMiddle",
            R"({"session_id":"s1","type":"chat_turn","message":"hello","assigned_skills":["writer"]})",
            kChat},
        Equivalent{
            "FieldsReordered",
            R"({"type":"chat_turn","assigned_skills":["writer"],"message":"hello","session_id":"s1"})",
            kChat},
        Equivalent{
            "UnknownMembersSkipped",
            R"({"note":1,"type":"chat_turn","note":{"x":[1,{"y":null}]},"session_id":"s1","message":"hello","assigned_skills":["writer"],"Type":"nope"})",
            kChat},
        Equivalent{"SurroundingWhitespace", " \t\r\n" + kChat + "\n \r\t", kChat},
        Equivalent{
            "EscapedTagAndKeys",
            R"({"type":"chat\u005fturn","session\u005fid":"s1","message":"hello","assigned_skills":["writer"]})",
            kChat},
        Equivalent{"ArrayChatTurn", R"(["chat_turn","s1","hello",["writer"]])", kChat},
        Equivalent{"ArraySaveSkill", R"(["save_skill",)" + kSkill + "]",
                   R"({"type":"save_skill","skill":)" + kSkill + "}"},
        Equivalent{"ArraySaveProfile", R"(["save_profile",)" + kProfile + "]",
                   R"({"profile":)" + kProfile + R"(,"type":"save_profile"})"},
        Equivalent{"ArraySwitchModel", R"(["switch_model",)" + kModel + "]",
                   R"({"type":"switch_model","model":)" + kModel + "}"},
        Equivalent{"ArrayStartRun", R"(["start_run",)" + kTask + R"(,"r1","s1"])",
                   R"({"type":"start_run","session_id":"s1","task":)" + kTask +
                       R"(,"run_id":"r1"})"},
        Equivalent{"ArrayRunTask", R"(["run_task","r1",)" + kTask + R"(,"m",[]])",
                   R"({"type":"run_task","run_id":"r1","task":)" + kTask +
                       R"(,"message":"m","assigned_skills":[]})"},
        Equivalent{"ArrayCallTool", R"(["call_tool",)" + kCall + "]",
                   R"({"type":"call_tool","call":)" + kCall + "}"},
        Equivalent{"NestedRecordsInArrayForm", R"(["save_profile",[{"id":"p"},["k"]]])",
                   R"({"type":"save_profile","profile":)" + kProfile + "}"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeCommand, ChatTurnFieldsLandWhereTheyBelong) {
  Result<protocol::CoreCommand> got = decode_command(kChat);
  ASSERT_TRUE(got.ok()) << got.error().chain();
  const auto* turn = std::get_if<protocol::ChatTurn>(&*got);
  ASSERT_NE(turn, nullptr);
  EXPECT_EQ(turn->session_id, "s1");
  EXPECT_EQ(turn->message, "hello");
  EXPECT_EQ(turn->assigned_skills, std::vector<std::string>{"writer"});
}

TEST(DecodeCommand, RunTaskFieldsLandWhereTheyBelong) {
  Result<protocol::CoreCommand> got =
      decode_command(R"(["run_task","r1",)" + kTask + R"(,"m",["x","x"]])");
  ASSERT_TRUE(got.ok()) << got.error().chain();
  const auto* c = std::get_if<protocol::RunTask>(&*got);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->run_id, "r1");
  EXPECT_EQ(c->task.id, "t1");
  EXPECT_EQ(c->task.status, "whatever");
  EXPECT_EQ(c->message, "m");
  EXPECT_EQ(c->assigned_skills, (std::vector<std::string>{"x", "x"}));
}

TEST(DecodeCommand, ToolCallInputKeepsNumberKindsAndNull) {
  Result<protocol::CoreCommand> got =
      decode_command(R"({"type":"call_tool","call":{"id":"","name":"n","input":[3,3.0,-3,null]}})");
  ASSERT_TRUE(got.ok()) << got.error().chain();
  const json::Value& input = std::get<protocol::CallTool>(*got).call.input;
  ASSERT_TRUE(input.is_array());
  const json::Array& a = input.as_array();
  ASSERT_EQ(a.size(), 4u);
  EXPECT_TRUE(a[0].is_u64());
  EXPECT_TRUE(a[1].is_double());
  EXPECT_TRUE(a[2].is_i64());
  EXPECT_TRUE(a[3].is_null());

  got = decode_command(R"({"type":"call_tool","call":{"id":"c","name":"n","input":null}})");
  ASSERT_TRUE(got.ok()) << got.error().chain();
  EXPECT_TRUE(std::get<protocol::CallTool>(*got).call.input.is_null());
}

// ---- failures: outer message and the decoder's cause ----

enum class Where {
  kNone,      // exactly the text: found while decoding the kept members
  kPosition,  // the text, then " at line L column C"
  kEither,    // with or without a position
  kSyntax,    // the library's own wording; only a position is required
};

struct Failure {
  const char* name;
  std::string text;
  std::string cause;
  Where where;
};
void PrintTo(const Failure& p, std::ostream* os) { *os << p.name; }


class DecodeRejects : public ::testing::TestWithParam<Failure> {};

TEST_P(DecodeRejects, ReportsCause) {
  const Failure& p = GetParam();
  Result<protocol::CoreCommand> got = decode_command(p.text);
  ASSERT_FALSE(got.ok());
  const Error& e = got.error();
  Result<protocol::CoreCommand> reused = decode_command(p.text, shared_scratch());
  ASSERT_FALSE(reused.ok());
  EXPECT_EQ(reused.error().chain(), e.chain());
  EXPECT_EQ(e.message(), "decode CoreCommand JSON");
  ASSERT_NE(e.cause(), nullptr);
  const std::string& cause = e.cause()->message();
  EXPECT_EQ(e.cause()->cause(), nullptr) << e.chain();
  const bool positioned = cause.rfind(p.cause + " at line ", 0) == 0;
  switch (p.where) {
    case Where::kNone: EXPECT_EQ(cause, p.cause); break;
    case Where::kPosition:
      EXPECT_TRUE(positioned) << "cause: " << cause << "\nwant: " << p.cause << " at line …";
      break;
    case Where::kEither:
      EXPECT_TRUE(cause == p.cause || positioned) << "cause: " << cause << "\nwant: " << p.cause;
      break;
    case Where::kSyntax:
      EXPECT_NE(cause.find(" at line "), std::string::npos) << cause;
      EXPECT_EQ(cause.find("missing field"), std::string::npos) << cause;
      EXPECT_EQ(cause.find("invalid type"), std::string::npos) << cause;
      EXPECT_EQ(cause.find("unknown variant"), std::string::npos) << cause;
      break;
  }
}

const std::string kUnknownList =
    "expected one of `save_skill`, `save_profile`, `switch_model`, `chat_turn`, `start_run`, "
    "`run_task`, `call_tool`";

// A skill whose `id` appears twice.
const std::string kDupIdSkill =
    R"({"id":"a","id":"b","name":"n","source":"user","read_only":false,"content":"c","suggested_tools":[]})";

INSTANTIATE_TEST_SUITE_P(
    Envelope, DecodeRejects,
    ::testing::Values(
        Failure{"EmptyText", "", "", Where::kSyntax},
        Failure{"OnlyWhitespace", " \n\t\r ", "", Where::kSyntax},
        Failure{"EmptyObject", "{}", "missing field `type`", Where::kEither},
        Failure{"NoTag", R"({"message":"m"})", "missing field `type`", Where::kEither},
        Failure{"EmptyArray", "[]", "missing field `type`", Where::kEither},
        Failure{"TagOtherCapitals", R"({"type":"Chat_Turn","session_id":"s"})",
                "unknown variant `Chat_Turn`, " + kUnknownList, Where::kPosition},
        Failure{"UnknownTagInArray", R"(["nope",1])", "unknown variant `nope`, " + kUnknownList,
                Where::kPosition},
        Failure{"NumericTag", R"({"type":5})",
                "invalid type: integer `5`, expected variant identifier", Where::kPosition},
        Failure{"NullTag", R"({"type":null})", "invalid type: null, expected variant identifier",
                Where::kPosition},
        Failure{"ObjectTag", R"({"type":{"chat_turn":null}})",
                "invalid type: map, expected variant identifier", Where::kPosition},
        Failure{"ArrayNumericTag", R"([1,2])",
                "invalid type: integer `1`, expected variant identifier", Where::kPosition},
        Failure{"BareString", R"("chat_turn")",
                "invalid type: string \"chat_turn\", expected internally tagged enum CoreCommand",
                Where::kPosition},
        Failure{"BareNull", "null",
                "invalid type: null, expected internally tagged enum CoreCommand",
                Where::kPosition},
        Failure{"BareBool", "true",
                "invalid type: boolean `true`, expected internally tagged enum CoreCommand",
                Where::kPosition},
        Failure{"BareNumber", "42",
                "invalid type: integer `42`, expected internally tagged enum CoreCommand",
                Where::kPosition},
        Failure{"DuplicateTag", R"({"type":"call_tool","type":"call_tool","call":{}})",
                "duplicate field `type`", Where::kPosition},
        Failure{"DuplicateTagWithOtherName", R"({"type":"call_tool","x":1,"type":"nope"})",
                "duplicate field `type`", Where::kPosition},
        Failure{"TrailingCharacters", kChat + " x", "trailing characters", Where::kPosition},
        Failure{"TrailingSecondValue", kChat + kChat, "trailing characters", Where::kPosition}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Fields, DecodeRejects,
    ::testing::Values(
        Failure{"MissingSkill", R"({"type":"save_skill"})", "missing field `skill`", Where::kNone},
        Failure{"MissingAssignedSkills", R"({"type":"chat_turn","session_id":"s","message":"m"})",
                "missing field `assigned_skills`", Where::kNone},
        Failure{"MissingFirstInDeclarationOrder", R"({"type":"run_task","message":"m"})",
                "missing field `run_id`", Where::kNone},
        Failure{"NullAssignedSkills",
                R"({"type":"chat_turn","session_id":"s","message":"m","assigned_skills":null})",
                "invalid type: null, expected a sequence", Where::kNone},
        Failure{"NullString",
                R"({"type":"chat_turn","session_id":null,"message":"m","assigned_skills":[]})",
                "invalid type: null, expected a string", Where::kNone},
        Failure{"NullRecord", R"({"type":"save_skill","skill":null})",
                "invalid type: null, expected struct Skill", Where::kNone},
        Failure{"NonStringSkillId",
                R"({"type":"chat_turn","session_id":"s","message":"m","assigned_skills":["a",1]})",
                "invalid type: integer `1`, expected a string", Where::kNone},
        Failure{
            "DuplicateMessage",
            R"({"type":"chat_turn","session_id":"s","message":"m","message":"n","assigned_skills":[]})",
            "duplicate field `message`", Where::kNone},
        Failure{"DuplicateBeforeMissing", R"({"type":"chat_turn","message":"m","message":"n"})",
                "duplicate field `message`", Where::kNone},
        Failure{"TypeErrorsInTextOrder",
                R"({"type":"chat_turn","message":5,"session_id":null,"assigned_skills":[]})",
                "invalid type: integer `5`, expected a string", Where::kNone},
        Failure{"TypeErrorBeforeMissing", R"({"type":"chat_turn","message":5})",
                "invalid type: integer `5`, expected a string", Where::kNone},
        Failure{"TypeErrorBeforeLaterDuplicate",
                R"({"type":"chat_turn","message":5,"message":"x"})",
                "invalid type: integer `5`, expected a string", Where::kNone},
        Failure{"MissingToolInput", R"({"type":"call_tool","call":{"id":"c","name":"n"}})",
                "missing field `input`", Where::kNone},
        Failure{"ProviderAsString", R"({"type":"switch_model","model":{"provider":"p","id":"m"}})",
                "invalid type: string \"p\", expected struct Provider", Where::kNone},
        Failure{"MissingSecretKey",
                R"({"type":"save_profile","profile":{"provider":{"id":"p"},"secret":{}}})",
                "missing field `key`", Where::kNone},
        Failure{
            "NestedMissingReadOnly",
            R"({"type":"save_skill","skill":{"id":"a","name":"n","source":"user","content":"c","suggested_tools":[]}})",
            "missing field `read_only`", Where::kNone},
        Failure{"NestedMissingTitle",
                R"({"type":"start_run","task":{"id":"t"},"run_id":"r","session_id":"s"})",
                "missing field `title`", Where::kNone},
        Failure{"NestedDuplicateTypeFirst", R"({"type":"save_skill","skill":)" + kDupIdSkill + "}",
                "duplicate field `id`", Where::kNone},
        Failure{"NestedDuplicateTypeLast",
                R"({"skill":)" + kDupIdSkill + R"(,"type":"save_skill"})", "duplicate field `id`",
                Where::kNone},
        Failure{"NestedDuplicateArrayForm", R"(["save_skill",)" + kDupIdSkill + "]",
                "duplicate field `id`", Where::kNone},
        Failure{
            "DeepDuplicateTypeLast",
            R"({"profile":{"provider":{"id":"p","id":"q"},"secret":{"key":"k"}},"type":"save_profile"})",
            "duplicate field `id`", Where::kNone},
        Failure{"ArrayTooShortOneField", R"(["call_tool"])",
                "invalid length 0, expected struct variant CoreCommand::CallTool with 1 element",
                Where::kNone},
        Failure{"ArrayTooShortThreeFields", R"(["chat_turn","s"])",
                "invalid length 1, expected struct variant CoreCommand::ChatTurn with 3 elements",
                Where::kNone},
        Failure{"ArraySurplusOneField", R"(["call_tool",)" + kCall + ",1]",
                "invalid length 2, expected 1 element in sequence", Where::kNone},
        Failure{"ArraySurplusFourFields", R"(["run_task","r",)" + kTask + R"(,"m",[],null])",
                "invalid length 5, expected 4 elements in sequence", Where::kNone},
        Failure{"ArrayFieldErrorBeforeLength", R"(["call_tool",5,1])",
                "invalid type: integer `5`, expected struct ToolCall", Where::kNone},
        Failure{"ArrayFieldErrorBeforeShortLength", R"(["chat_turn",null])",
                "invalid type: null, expected a string", Where::kNone}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Precedence, DecodeRejects,
    ::testing::Values(
        // Field errors are found before anything after the value is looked at.
        Failure{"MissingFieldBeatsTrailing", R"({"type":"save_skill"} x)", "missing field `skill`",
                Where::kNone},
        Failure{"LengthBeatsTrailing", R"(["call_tool",)" + kCall + ",1]]",
                "invalid length 2, expected 1 element in sequence", Where::kNone},
        // A syntax error anywhere beats every field error.
        Failure{"SyntaxBeatsMissingField", R"({"type":"save_skill","x":[1,})", "", Where::kSyntax},
        Failure{"SyntaxBeatsTypeError",
                R"({"type":"chat_turn","session_id":5,"message":"m","assigned_skills":[],"z":tru})",
                "", Where::kSyntax},
        Failure{"SyntaxBeatsDuplicate",
                R"({"skill":)" + kDupIdSkill + R"(,"type":"save_skill","z":"\x"})", "",
                Where::kSyntax},
        Failure{"UnterminatedObject", R"({"type":"save_skill")", "", Where::kSyntax},
        // The tag is checked the moment it is read ...
        Failure{"UnknownTagBeatsLaterSyntax", R"({"type":"nope","x":tru})",
                "unknown variant `nope`, " + kUnknownList, Where::kPosition},
        Failure{"UnknownTagBeatsEarlierFieldErrors", R"({"skill":5,"message":null,"type":"nope"})",
                "unknown variant `nope`, " + kUnknownList, Where::kPosition},
        Failure{"UnknownArrayTagBeatsLaterNesting",
                R"(["nope",)" + std::string(200, '[') + std::string(200, ']') + "]",
                "unknown variant `nope`, " + kUnknownList, Where::kPosition},
        Failure{"DuplicateTagBeatsLaterSyntax", R"({"type":"save_skill","type":"save_skill",})",
                "duplicate field `type`", Where::kPosition},
        // ... but a syntax error before the tag still comes first.
        Failure{"EarlierSyntaxBeatsUnknownTag", R"({"x":tru,"type":"nope"})", "", Where::kSyntax}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- nesting: the command object is level 1; 127 levels pass, 128 fail ----

std::string nested(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

// A call_tool command whose deepest value sits at `depth`: command, call,
// then the input's arrays.
std::string tool_call_at_depth(int depth) {
  return R"({"type":"call_tool","call":{"id":"c","name":"n","input":)" + nested(depth - 2) + "}}";
}

// A save_profile command with a skipped member reaching `depth`.
std::string skipped_member_at_depth(int depth, bool type_first) {
  const std::string profile = R"("profile":)" + kProfile;
  const std::string junk = R"("junk":)" + nested(depth - 1);
  return type_first ? R"({"type":"save_profile",)" + profile + "," + junk + "}"
                    : "{" + junk + "," + profile + R"(,"type":"save_profile"})";
}

TEST(DecodeNesting, ToolInputAt127PassesAnd128Fails) {
  Result<protocol::CoreCommand> ok = decode_command(tool_call_at_depth(127));
  ASSERT_TRUE(ok.ok()) << ok.error().chain();
  const json::Value* v = &std::get<protocol::CallTool>(*ok).call.input;
  int levels = 0;
  while (v->is_array() && !v->as_array().empty()) {
    v = &v->as_array()[0];
    ++levels;
  }
  EXPECT_EQ(levels, 124);  // 125 arrays, the innermost empty

  for (int depth : {128, 200}) {
    Result<protocol::CoreCommand> bad = decode_command(tool_call_at_depth(depth));
    ASSERT_FALSE(bad.ok()) << depth;
    EXPECT_EQ(bad.error().message(), "decode CoreCommand JSON");
    EXPECT_EQ(bad.error().root_cause().message().rfind("recursion limit exceeded at line ", 0), 0u)
        << bad.error().chain();
  }
}

TEST(DecodeNesting, SkippedMembersCountToo) {
  for (bool type_first : {true, false}) {
    Result<protocol::CoreCommand> ok = decode_command(skipped_member_at_depth(127, type_first));
    EXPECT_TRUE(ok.ok()) << type_first << " " << ok.error().chain();
    Result<protocol::CoreCommand> bad = decode_command(skipped_member_at_depth(128, type_first));
    ASSERT_FALSE(bad.ok()) << type_first;
    EXPECT_EQ(bad.error().root_cause().message().rfind("recursion limit exceeded at line ", 0), 0u)
        << bad.error().chain();
  }
}

TEST(DecodeNesting, NestingErrorBeatsFieldErrors) {
  // The tag is fine but no field is valid; the depth problem is still the cause.
  Result<protocol::CoreCommand> bad =
      decode_command(R"({"type":"chat_turn","message":5,"x":)" + nested(130) + "}");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().root_cause().message().rfind("recursion limit exceeded", 0), 0u)
      << bad.error().chain();
}

}  // namespace
}  // namespace dovek
