#include "runtime/artifact.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_util.h"

namespace dovek::runtime {
namespace {

using testing::TempDir;
using testing::write_file;

const std::string kMinimal =
    R"({"schema_version":1,"kind":"rust_binary","id":"echo","name":"Echo","version":"1.0","entry":"bin/echo"})";

TEST(ArtifactTest, MinimalManifestGetsDefaultsAndWritesBackWithoutSource) {
  Result<SkillArtifact> a = decode_artifact(kMinimal);
  ASSERT_TRUE(a.ok()) << a.error().chain();
  EXPECT_EQ(a->protocol.transport, "stdio-json");
  EXPECT_EQ(a->protocol.input, "single-json-value");
  EXPECT_EQ(a->protocol.output, "single-json-value");
  EXPECT_FALSE(a->schema.input || a->schema.output || a->source);
  EXPECT_EQ(artifact_json(*a),
            R"({"schema_version":1,"kind":"rust_binary","id":"echo","name":"Echo",)"
            R"("version":"1.0","entry":"bin/echo","protocol":{"transport":"stdio-json",)"
            R"("input":"single-json-value","output":"single-json-value"},"schema":{}})");
}

TEST(ArtifactTest, FullManifestKeepsDeclarationOrderAndDropsUnknownKeys) {
  Result<SkillArtifact> a = decode_artifact(
      R"({"source":{"ref":"v1","type":"git","x":1},"description":"ignored",)"
      R"("schema":{"output":"s/out.json","input":null},"entry":"./main.py","version":"2",)"
      R"("name":"P","id":"py-tool_2","kind":{"python_uv":null},)"
      R"("protocol":{"output":"o","extra":[1],"input":"i","transport":"stdio-json"},)"
      R"("schema_version":1})");
  ASSERT_TRUE(a.ok()) << a.error().chain();
  EXPECT_TRUE(a->validate().ok());
  EXPECT_EQ(artifact_json(*a),
            R"({"schema_version":1,"kind":"python_uv","id":"py-tool_2","name":"P","version":"2",)"
            R"("entry":"./main.py","protocol":{"transport":"stdio-json","input":"i","output":"o"},)"
            R"("schema":{"output":"s/out.json"},"source":{"type":"git","ref":"v1"}})");
  EXPECT_EQ(artifacts_json({}), "[]");
  EXPECT_EQ(artifacts_json({*a, *a}).front(), '[');
}

TEST(ArtifactTest, AcceptedAlternativeForms) {
  // Array form with only the six required members, and a null source.
  Result<SkillArtifact> arr = decode_artifact(R"([1,"python_uv","a","n","v","m.py"])");
  ASSERT_TRUE(arr.ok()) << arr.error().chain();
  EXPECT_EQ(arr->kind, ArtifactKind::kPythonUv);
  EXPECT_EQ(arr->protocol.transport, "stdio-json");
  Result<SkillArtifact> null_source =
      decode_artifact(R"([1,"rust_binary","a","n","v","e",["stdio-json","i","o"],[],null])");
  ASSERT_TRUE(null_source.ok()) << null_source.error().chain();
  EXPECT_FALSE(null_source->source);
  EXPECT_EQ(null_source->protocol.input, "i");
}

struct DecodeCase {
  std::string text;
  std::string cause;
};

class ArtifactDecodeError : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(ArtifactDecodeError, FailsWithCauseAndPosition) {
  Result<SkillArtifact> a = decode_artifact(GetParam().text);
  ASSERT_FALSE(a.ok());
  EXPECT_EQ(a.error().message(), GetParam().cause);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArtifactDecodeError,
    ::testing::Values(
        DecodeCase{R"({"schema_version":1,"kind":"rust_binary","id":"a","name":"n","version":"v"})",
                   "missing field `entry` at line 1 column 75"},
        DecodeCase{R"({"schema_version":1.0})",
                   "invalid type: floating point `1.0`, expected u32 at line 1 column 19"},
        DecodeCase{R"({"schema_version":-1})",
                   "invalid value: integer `-1`, expected u32 at line 1 column 19"},
        DecodeCase{R"({"schema_version":4294967296})",
                   "invalid value: integer `4294967296`, expected u32 at line 1 column 19"},
        DecodeCase{R"({"kind":"go_binary"})",
                   "unknown variant `go_binary`, expected `rust_binary` or `python_uv` at line 1 "
                   "column 9"},
        DecodeCase{R"({"kind":{"python_uv":1}})",
                   "invalid type: integer `1`, expected unit at line 1 column 22"},
        DecodeCase{R"({"protocol":{"transport":"stdio-json"}})",
                   "missing field `input` at line 1 column 38"},
        DecodeCase{R"({"protocol":null})",
                   "invalid type: null, expected struct ArtifactProtocol at line 1 column 13"},
        DecodeCase{R"({"schema":null})",
                   "invalid type: null, expected struct ArtifactSchema at line 1 column 11"},
        DecodeCase{R"({"id":"a","id":"b"})", "duplicate field `id` at line 1 column 11"},
        DecodeCase{R"({"id":null})", "invalid type: null, expected a string at line 1 column 7"},
        DecodeCase{R"([1,"rust_binary","a","n","v"])",
                   "invalid length 5, expected struct SkillArtifact with 9 elements at line 1 "
                   "column 29"},
        DecodeCase{R"({"source":{}})", "missing field `type` at line 1 column 12"},
        DecodeCase{kMinimal + " x", "trailing characters at line 1 column 104"},
        DecodeCase{"", "EOF while parsing a value at line 1 column 0"}));

TEST(ArtifactTest, LoadReportsReadAndDecodeWithPath) {
  TempDir dir;
  std::string path = dir / "artifact.json";
  Result<SkillArtifact> missing = load_artifact(dir.path());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().chain(), "read " + path + ": No such file or directory (os error 2)");

  // Relative roots and a trailing separator are used unchanged in the path.
  write_file(path, R"({"id":3})");
  Result<SkillArtifact> bad = load_artifact(dir.path() + "/");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "decode " + path);
  ASSERT_NE(bad.error().cause(), nullptr);

  // Invalid UTF-8 is a read failure, not a decode failure.
  write_file(path, "{\"id\":\"\xff\"}");
  Result<SkillArtifact> not_utf8 = load_artifact(dir.path());
  ASSERT_FALSE(not_utf8.ok());
  EXPECT_EQ(not_utf8.error().message(), "read " + path);
}

TEST(ArtifactTest, LoadOfFifoOrDirectoryFailsWithoutBlocking) {
  TempDir dir;
  std::string path = dir / "artifact.json";
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  Result<SkillArtifact> fifo = load_artifact(dir.path());
  ASSERT_FALSE(fifo.ok());
  EXPECT_EQ(fifo.error().message(), "read " + path);

  TempDir dir2;
  ASSERT_EQ(mkdir((dir2 / "artifact.json").c_str(), 0755), 0);
  Result<SkillArtifact> is_dir = load_artifact(dir2.path());
  ASSERT_FALSE(is_dir.ok());
  EXPECT_EQ(is_dir.error().chain(),
            "read " + (dir2 / "artifact.json") + ": Is a directory (os error 21)");
}

TEST(ArtifactTest, LoadReturnsValidationErrorsUnwrapped) {
  TempDir dir;
  write_file(
      dir / "artifact.json",
      R"({"schema_version":2,"kind":"rust_binary","id":"","name":"n","version":"v","entry":"e"})");
  Result<SkillArtifact> a = load_artifact(dir.path());
  ASSERT_FALSE(a.ok());
  EXPECT_EQ(a.error().chain(), "unsupported artifact schema version: 2");
}

struct ValidateCase {
  std::string patch;  // replaces members of a valid manifest
  std::string message;
};

class ArtifactValidate : public ::testing::TestWithParam<ValidateCase> {};

TEST_P(ArtifactValidate, FirstViolationWins) {
  // Members later in the text replace earlier ones (last one wins is not
  // allowed for known keys), so build the manifest from a base map instead.
  std::string text = "{" + GetParam().patch + "}";
  Result<SkillArtifact> a = decode_artifact(text);
  ASSERT_TRUE(a.ok()) << a.error().chain();
  Status s = a->validate();
  if (GetParam().message.empty()) {
    EXPECT_TRUE(s.ok()) << s.error().message();
  } else {
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().chain(), GetParam().message);
  }
}

std::string fields(const std::string& version, const std::string& id, const std::string& entry,
                   const std::string& extra = "") {
  return R"("schema_version":)" + version + R"(,"kind":"rust_binary","id":")" + id +
         R"(","name":"n","version":"v","entry":")" + entry + "\"" + extra;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArtifactValidate,
    ::testing::Values(
        ValidateCase{fields("2", "", "e"), "unsupported artifact schema version: 2"},
        ValidateCase{fields("0", "a", "e"), "unsupported artifact schema version: 0"},
        ValidateCase{fields("1", "a.b", "/abs"),
                     "artifact id must contain only ASCII letters, numbers, '-' or '_'"},
        ValidateCase{fields("1", "a", "/abs"), "entry must be relative"},
        ValidateCase{fields("1", "a", "."), ""}, ValidateCase{fields("1", "a", "./bin/./x/"), ""},
        ValidateCase{fields("1", "a", "bin/../x"), "entry must not escape the artifact directory"},
        ValidateCase{fields("1", "a", ""), "entry cannot be empty"},
        ValidateCase{fields("1", "a", "x",
                            R"(,"protocol":{"transport":"STDIO-JSON","input":"","output":""})"),
                     "unsupported artifact protocol transport"},
        ValidateCase{fields("1", "a", "x",
                            R"(,"protocol":{"transport":"stdio-json ","input":"","output":""})"),
                     "unsupported artifact protocol transport"},
        ValidateCase{fields("1", "a", "x", R"(,"schema":{"input":null,"output":"../o.json"})"),
                     "schema.output must not escape the artifact directory"},
        ValidateCase{fields("1", "a", "x", R"(,"schema":{"input":"","output":"../o.json"})"),
                     "schema.input cannot be empty"}));

TEST(ArtifactTest, IdentifierRule) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "artifact id cannot be empty"},
      {"a.b", "artifact id must contain only ASCII letters, numbers, '-' or '_'"},
      {"caf\xc3\xa9", "artifact id must contain only ASCII letters, numbers, '-' or '_'"},
      {"a b", "artifact id must contain only ASCII letters, numbers, '-' or '_'"},
      {"a/b", "artifact id must contain only ASCII letters, numbers, '-' or '_'"},
      {"-a", "artifact id must start with an ASCII letter or number"},
      {"_a", "artifact id must start with an ASCII letter or number"},
      // The character rule is checked over the whole id before the first one.
      {"_a.b", "artifact id must contain only ASCII letters, numbers, '-' or '_'"},
      {"9lives", ""},
      {"Skill-name_2", ""},
  };
  for (const auto& [id, message] : cases) {
    Status s = validate_id(id);
    if (message.empty()) {
      EXPECT_TRUE(s.ok()) << id;
    } else {
      ASSERT_FALSE(s.ok()) << id;
      EXPECT_EQ(s.error().message(), message) << id;
    }
  }
}

TEST(ArtifactTest, PathRule) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "L cannot be empty"},
      {"/x", "L must be relative"},
      {"..", "L must not escape the artifact directory"},
      {"../x", "L must not escape the artifact directory"},
      {"a/../a", "L must not escape the artifact directory"},
      {"a/..", "L must not escape the artifact directory"},
      {"a//b/", ""},
      {"./a", ""},
      {"a/./b", ""},
      {"...", ""},
      {"a..b", ""},
  };
  for (const auto& [path, message] : cases) {
    Status s = validate_relative_path(path, "L");
    if (message.empty()) {
      EXPECT_TRUE(s.ok()) << path;
    } else {
      ASSERT_FALSE(s.ok()) << path;
      EXPECT_EQ(s.error().message(), message) << path;
    }
  }
}

}  // namespace
}  // namespace dovek::runtime
