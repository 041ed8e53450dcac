// The skill manifest "artifact.json": its record, how it is read and
// validated, and its JSON form.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "json/write.h"

namespace dovek::runtime {

// How a skill is built and started.
enum class ArtifactKind { kRustBinary, kPythonUv };

// "rust_binary" or "python_uv".
std::string_view kind_name(ArtifactKind kind);

// Process protocol. Only `transport` is validated.
struct ArtifactProtocol {
  std::string transport = "stdio-json";
  std::string input = "single-json-value";
  std::string output = "single-json-value";
};

// Paths of the schema files; the runtime validates them but never opens them.
struct ArtifactSchema {
  std::optional<std::string> input;
  std::optional<std::string> output;
};

// Provenance note, stored and returned unchanged.
struct ArtifactSource {
  std::string type;
  std::optional<std::string> ref;
};

// One manifest. Fields in declaration order, which is also the key order of
// its JSON form. A plain value.
struct SkillArtifact {
  uint32_t schema_version = 0;
  ArtifactKind kind = ArtifactKind::kRustBinary;
  std::string id;
  std::string name;
  std::string version;
  std::string entry;
  ArtifactProtocol protocol;
  ArtifactSchema schema;
  std::optional<ArtifactSource> source;

  // The manifest rules, in their fixed order; the first violation is returned.
  [[nodiscard]] Status validate() const;
};

// Identifier rule: non-empty, ASCII letters, digits, '-' and '_' only, first
// character a letter or digit.
[[nodiscard]] Status validate_id(std::string_view id);

// Path rule: non-empty, relative, no ".." component. `label` names the path
// in the messages ("entry", "schema.input").
[[nodiscard]] Status validate_relative_path(std::string_view path, std::string_view label);

// Decodes manifest text (object or array form) with positions in the causes.
// Does not validate.
[[nodiscard]] Result<SkillArtifact> decode_artifact(std::string_view text);

// Reads root/"artifact.json", decodes and validates it. "read {path}" when the
// file cannot be read as UTF-8 text (a FIFO or directory included: the file is
// opened without blocking), "decode {path}" when it does not decode, the
// validation message unchanged otherwise. No side effects.
[[nodiscard]] Result<SkillArtifact> load_artifact(const std::string& root);

// The compact JSON form: keys in declaration order, `schema` with only the
// present members, `source` only when present.
void write_artifact(json::Writer& w, const SkillArtifact& artifact);
std::string artifact_json(const SkillArtifact& artifact);
std::string artifacts_json(const std::vector<SkillArtifact>& artifacts);

}  // namespace dovek::runtime
