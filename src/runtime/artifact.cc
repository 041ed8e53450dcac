#include "runtime/artifact.h"

#include <array>

#include "base/utf8.h"
#include "json/read.h"
#include "runtime/fs.h"

namespace dovek::runtime {

namespace {

constexpr std::array<std::string_view, 2> kKindNames = {"rust_binary", "python_uv"};
constexpr std::string_view kKindExpected = "`rust_binary` or `python_uv`";

constexpr std::array<std::string_view, 9> kArtifactFields = {"schema_version", "kind",    "id",
                                                             "name",           "version", "entry",
                                                             "protocol",       "schema",  "source"};
constexpr json::RecordShape kArtifactShape = {"struct SkillArtifact", kArtifactFields, 0x3F, 6};

constexpr std::array<std::string_view, 3> kProtocolFields = {"transport", "input", "output"};
constexpr json::RecordShape kProtocolShape = {"struct ArtifactProtocol", kProtocolFields, 0x7, 3};

constexpr std::array<std::string_view, 2> kSchemaFields = {"input", "output"};
constexpr json::RecordShape kSchemaShape = {"struct ArtifactSchema", kSchemaFields, 0, 0};

constexpr std::array<std::string_view, 2> kSourceFields = {"type", "ref"};
constexpr json::RecordShape kSourceShape = {"struct ArtifactSource", kSourceFields, 0x1, 1};

Result<ArtifactProtocol> decode_protocol(json::Cursor& c) {
  ArtifactProtocol p;
  DOVEK_TRY(c.record(kProtocolShape, [&](size_t i, json::Cursor& f) -> Status {
    std::string* slot = i == 0 ? &p.transport : i == 1 ? &p.input : &p.output;
    DOVEK_ASSIGN_OR_RETURN(*slot, f.string());
    return ok_status();
  }));
  return p;
}

Result<ArtifactSchema> decode_schema(json::Cursor& c) {
  ArtifactSchema s;
  DOVEK_TRY(c.record(kSchemaShape, [&](size_t i, json::Cursor& f) -> Status {
    DOVEK_ASSIGN_OR_RETURN(auto value, f.optional_string());
    (i == 0 ? s.input : s.output) = std::move(value);
    return ok_status();
  }));
  return s;
}

Result<ArtifactSource> decode_source(json::Cursor& c) {
  ArtifactSource s;
  DOVEK_TRY(c.record(kSourceShape, [&](size_t i, json::Cursor& f) -> Status {
    if (i == 0) {
      DOVEK_ASSIGN_OR_RETURN(s.type, f.string());
    } else {
      DOVEK_ASSIGN_OR_RETURN(s.ref, f.optional_string());
    }
    return ok_status();
  }));
  return s;
}

Result<SkillArtifact> decode_record(json::Cursor& c) {
  SkillArtifact a;
  DOVEK_TRY(c.record(kArtifactShape, [&](size_t i, json::Cursor& f) -> Status {
    switch (i) {
      case 0: {
        DOVEK_ASSIGN_OR_RETURN(a.schema_version, f.u32());
        return ok_status();
      }
      case 1: {
        DOVEK_ASSIGN_OR_RETURN(size_t kind, f.unit_variant(kKindNames, kKindExpected));
        a.kind = kind == 0 ? ArtifactKind::kRustBinary : ArtifactKind::kPythonUv;
        return ok_status();
      }
      case 2: {
        DOVEK_ASSIGN_OR_RETURN(a.id, f.string());
        return ok_status();
      }
      case 3: {
        DOVEK_ASSIGN_OR_RETURN(a.name, f.string());
        return ok_status();
      }
      case 4: {
        DOVEK_ASSIGN_OR_RETURN(a.version, f.string());
        return ok_status();
      }
      case 5: {
        DOVEK_ASSIGN_OR_RETURN(a.entry, f.string());
        return ok_status();
      }
      case 6: {
        DOVEK_ASSIGN_OR_RETURN(a.protocol, decode_protocol(f));
        return ok_status();
      }
      case 7: {
        DOVEK_ASSIGN_OR_RETURN(a.schema, decode_schema(f));
        return ok_status();
      }
      default: {
        // A null source means absent.
        if (f.is_null()) {
          f.skip();
          a.source.reset();
          return ok_status();
        }
        DOVEK_ASSIGN_OR_RETURN(a.source, decode_source(f));
        return ok_status();
      }
    }
  }));
  return a;
}

bool is_ascii_alnum(char32_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

std::string_view kind_name(ArtifactKind kind) {
  return kKindNames[kind == ArtifactKind::kRustBinary ? 0 : 1];
}

Status validate_id(std::string_view id) {
  if (id.empty()) return Error("artifact id cannot be empty");
  // Every byte of a multi-byte character is >= 0x80, so a byte-wise test
  // rejects such a character as one would a code point.
  for (char ch : id) {
    auto c = static_cast<unsigned char>(ch);
    if (!is_ascii_alnum(c) && c != '-' && c != '_') {
      return Error("artifact id must contain only ASCII letters, numbers, '-' or '_'");
    }
  }
  if (!is_ascii_alnum(static_cast<unsigned char>(id.front()))) {
    return Error("artifact id must start with an ASCII letter or number");
  }
  return ok_status();
}

Status validate_relative_path(std::string_view path, std::string_view label) {
  if (path.empty()) return Error(std::string(label) + " cannot be empty");
  if (path.front() == '/') return Error(std::string(label) + " must be relative");
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (path.substr(start, slash - start) == "..") {
      return Error(std::string(label) + " must not escape the artifact directory");
    }
    start = slash + 1;
  }
  return ok_status();
}

Status SkillArtifact::validate() const {
  if (schema_version != 1) {
    return Error("unsupported artifact schema version: " + std::to_string(schema_version));
  }
  DOVEK_TRY(validate_id(id));
  DOVEK_TRY(validate_relative_path(entry, "entry"));
  if (protocol.transport != "stdio-json") return Error("unsupported artifact protocol transport");
  if (schema.input) DOVEK_TRY(validate_relative_path(*schema.input, "schema.input"));
  if (schema.output) DOVEK_TRY(validate_relative_path(*schema.output, "schema.output"));
  return ok_status();
}

Result<SkillArtifact> decode_artifact(std::string_view text) {
  return json::decode_text<SkillArtifact>(text, /*positions=*/true, decode_record);
}

Result<SkillArtifact> load_artifact(const std::string& root) {
  const std::string path = join_path(root, "artifact.json");
  DOVEK_ASSIGN_OR_RETURN(std::string text, with_context(read_text_file(path), "read " + path));
  DOVEK_ASSIGN_OR_RETURN(SkillArtifact artifact,
                         with_context(decode_artifact(text), "decode " + path));
  DOVEK_TRY(artifact.validate());
  return artifact;
}

void write_artifact(json::Writer& w, const SkillArtifact& a) {
  w.begin_object();
  w.key(json::kKey<"schema_version">);
  w.u64(a.schema_version);
  w.key(json::kKey<"kind">);
  w.string(kind_name(a.kind));
  w.key(json::kKey<"id">);
  w.string(a.id);
  w.key(json::kKey<"name">);
  w.string(a.name);
  w.key(json::kKey<"version">);
  w.string(a.version);
  w.key(json::kKey<"entry">);
  w.string(a.entry);
  w.key(json::kKey<"protocol">);
  w.begin_object();
  w.key(json::kKey<"transport">);
  w.string(a.protocol.transport);
  w.key(json::kKey<"input">);
  w.string(a.protocol.input);
  w.key(json::kKey<"output">);
  w.string(a.protocol.output);
  w.end_object();
  w.key(json::kKey<"schema">);
  w.begin_object();
  if (a.schema.input) {
    w.key(json::kKey<"input">);
    w.string(*a.schema.input);
  }
  if (a.schema.output) {
    w.key(json::kKey<"output">);
    w.string(*a.schema.output);
  }
  w.end_object();
  if (a.source) {
    w.key(json::kKey<"source">);
    w.begin_object();
    w.key(json::kKey<"type">);
    w.string(a.source->type);
    if (a.source->ref) {
      w.key(json::kKey<"ref">);
      w.string(*a.source->ref);
    }
    w.end_object();
  }
  w.end_object();
}

std::string artifact_json(const SkillArtifact& artifact) {
  json::Writer w(256);
  write_artifact(w, artifact);
  return w.take();
}

std::string artifacts_json(const std::vector<SkillArtifact>& artifacts) {
  json::Writer w(256 * (artifacts.size() + 1));
  w.begin_array();
  for (const SkillArtifact& a : artifacts) write_artifact(w, a);
  w.end_array();
  return w.take();
}

}  // namespace dovek::runtime
