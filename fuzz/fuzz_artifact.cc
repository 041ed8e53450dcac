// Fuzz target: any bytes as a skill manifest ("artifact.json").
//
// Every input is decoded from memory, validated and written back as JSON;
// the written form of any decoded record decodes again to the same record,
// validates the same way, and writes the same bytes. About one input in
// sixteen (chosen by a hash of its bytes, so a reproducer behaves the same)
// also goes through load_artifact from a file in a private temporary
// directory, whose result must agree with the in-memory path.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/utf8.h"
#include "runtime/artifact.h"

namespace {

using dovek::runtime::SkillArtifact;

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "fuzz_artifact: %s: %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  __builtin_trap();
}

bool same(const SkillArtifact& a, const SkillArtifact& b) {
  auto same_source = [](const auto& x, const auto& y) {
    if (x.has_value() != y.has_value()) return false;
    return !x || (x->type == y->type && x->ref == y->ref);
  };
  return a.schema_version == b.schema_version && a.kind == b.kind && a.id == b.id &&
         a.name == b.name && a.version == b.version && a.entry == b.entry &&
         a.protocol.transport == b.protocol.transport && a.protocol.input == b.protocol.input &&
         a.protocol.output == b.protocol.output && a.schema.input == b.schema.input &&
         a.schema.output == b.schema.output && same_source(a.source, b.source);
}

std::string status_text(const dovek::Status& s) { return s.ok() ? "" : s.error().chain(); }

// The private directory that holds the manifest file, removed at exit. Never
// destroyed: the exit handler runs after the destructors of function statics
// created before it was registered.
const std::string& root() {
  static const std::string* const dir = [] {
    const char* tmp = getenv("TMPDIR");
    auto* path = new std::string(std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_artifact.XXXXXX");
    if (mkdtemp(path->data()) == nullptr) fail("mkdtemp", *path);
    atexit([] {
      unlink((root() + "/artifact.json").c_str());
      rmdir(root().c_str());
    });
    return path;
  }();
  return *dir;
}

void write_file(const std::string& path, std::string_view bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("open", path);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) fail("write", path);
    done += static_cast<size_t>(n);
  }
  close(fd);
}

void check_file(std::string_view text, const dovek::Result<SkillArtifact>& decoded) {
  const std::string path = root() + "/artifact.json";
  write_file(path, text);
  auto loaded = dovek::runtime::load_artifact(root());
  if (!dovek::utf8::is_valid(text)) {
    if (loaded.ok()) fail("load_artifact accepted invalid UTF-8", text);
    if (loaded.error().message() != "read " + path) {
      fail("invalid UTF-8 not reported as a read failure", loaded.error().chain());
    }
    return;
  }
  if (!decoded.ok()) {
    if (loaded.ok() ||
        loaded.error().chain() != "decode " + path + ": " + decoded.error().chain()) {
      fail("load_artifact and decode_artifact disagree", decoded.error().chain());
    }
    return;
  }
  const dovek::Status valid = decoded->validate();
  if (!valid.ok()) {
    if (loaded.ok() || loaded.error().chain() != valid.error().chain()) {
      fail("load_artifact and validate disagree", valid.error().chain());
    }
    return;
  }
  if (!loaded.ok()) fail("load_artifact rejected a valid manifest", loaded.error().chain());
  if (!same(*loaded, *decoded)) fail("load_artifact read another record", text);
}

uint32_t hash(std::string_view bytes) {
  uint32_t h = 2166136261u;
  for (char c : bytes) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto decoded = dovek::runtime::decode_artifact(text);
  if ((hash(text) & 15) == 0) check_file(text, decoded);
  if (!decoded.ok()) return 0;

  const dovek::Status valid = decoded->validate();
  const std::string written = dovek::runtime::artifact_json(*decoded);
  auto again = dovek::runtime::decode_artifact(written);
  if (!again.ok()) fail("written form does not decode", again.error().chain() + " | " + written);
  if (!same(*again, *decoded)) fail("written form decodes to another record", written);
  if (status_text(again->validate()) != status_text(valid)) {
    fail("written form validates differently", written);
  }
  const std::string rewritten = dovek::runtime::artifact_json(*again);
  if (rewritten != written) fail("writing again gives other bytes", written + " | " + rewritten);
  return 0;
}
