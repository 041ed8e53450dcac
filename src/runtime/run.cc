#include "runtime/run.h"

#include "base/utf8.h"
#include "json/read.h"
#include "json/write.h"
#include "runtime/artifact.h"
#include "runtime/fs.h"
#include "runtime/process.h"

namespace dovek::runtime {

namespace {

constexpr size_t kPreviewChars = 120;

// The first `n` characters (code points) of valid UTF-8 text.
std::string_view first_chars(std::string_view s, size_t n) {
  size_t i = 0;
  for (size_t count = 0; count < n && i < s.size(); ++count) utf8::next(s, i);
  return s.substr(0, i);
}

std::string trimmed_text(std::string_view bytes) {
  std::string decoded = utf8::decode_lossy(bytes);
  return std::string(utf8::trim_white_space(decoded));
}

Error stage_error(const Completion& c) {
  const Error os = c.error.value_or(Error("unknown error"));
  switch (c.failed) {
    case Stage::kSpawn: return context("spawn skill process", os);
    case Stage::kWriteInput: return context("write skill input JSON", os);
    case Stage::kWriteNewline: return context("write skill input newline", os);
    case Stage::kCollect: return context("collect skill output", os);
    case Stage::kWait:
    default: return os;
  }
}

// Decodes a finished skill's exit status and output bytes.
Result<SkillRunOutput> decode_skill_output(const std::optional<int>& exit_code,
                                           std::string_view stdout_bytes,
                                           std::string_view stderr_bytes) {
  std::string stderr_text = trimmed_text(stderr_bytes);
  if (!exit_code || *exit_code != 0) {
    ExitStatus status{exit_code, 0};
    return Error("skill process exited with status " + status.describe() + ": " + stderr_text);
  }
  std::string out = trimmed_text(stdout_bytes);
  Result<json::Value> value = json::parse(out);
  if (!value.ok()) {
    return context("decode skill output JSON from stdout: " +
                       std::string(first_chars(out, kPreviewChars)),
                   std::move(value).error());
  }
  if (!value->is_object()) return Error("skill output must be a JSON object");
  return SkillRunOutput{std::move(value).value(), std::move(stderr_text), 0};
}

}  // namespace

Result<SkillRunOutput> run_skill(const std::string& root, const json::Value& input,
                                 const RunOptions& options, const Environment& env,
                                 const CancelCheck& cancel) {
  DOVEK_ASSIGN_OR_RETURN(SkillArtifact artifact, load_artifact(root));
  const std::string run_context = "run skill `" + artifact.id + "`";

  // The child starts in the root, so every path it is given must not depend
  // on the host's working directory.
  Result<std::string> abs_root = absolute_path(root);
  if (!abs_root.ok()) return context(run_context, context("spawn skill process", abs_root.error()));

  Command command;
  command.cwd = *abs_root;
  if (artifact.kind == ArtifactKind::kRustBinary) {
    std::string shown = join_path(root, artifact.entry);
    std::string program = join_path(*abs_root, artifact.entry);
    if (!is_regular_file(program)) return Error("skill executable not found: " + shown);
    command.program = std::move(program);
  } else {
    command.program = options.uv;
    command.args = {"run", "--project", *abs_root, "python", artifact.entry};
  }

  std::string input_text = json::write(input);
  const size_t newline_at = input_text.size();
  input_text.push_back('\n');

  Completion done =
      run_command(command, input_text, newline_at,
                  limits_for(options.timeout.seconds, options.timeout.nanos), env, cancel);
  switch (done.failed) {
    case Stage::kNone: break;
    case Stage::kCancelled: return Error(std::string(kCancelledMessage));
    case Stage::kTimeout:
      return context(run_context, Error("skill process timed out after " +
                                        std::to_string(options.timeout.seconds) + "s"));
    case Stage::kOutputLimit:
      return context(run_context, Error("skill standard output exceeded " +
                                        std::to_string(kMaxStdoutBytes) + " bytes"));
    default: return context(run_context, stage_error(done));
  }
  return decode_skill_output(done.status.code, done.out, done.err);
}

}  // namespace dovek::runtime
