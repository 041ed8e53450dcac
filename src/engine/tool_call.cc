#include "engine/tool_call.h"

#include <string>
#include <utility>

#include "engine/core.h"
#include "engine/dispatch.h"
#include "json/write.h"
#include "protocol/encode.h"

namespace dovek::engine {
namespace {

// This thread's spare tape, which a tool call moves out (leaving it empty
// for a call the tool makes in turn) and gives in exchange for the tape that
// holds its input, then puts back.
json::Tape& spare_tool_tape() {
  thread_local json::Tape t_tape;
  return t_tape;
}

}  // namespace

DetachedToolCall::DetachedToolCall(Core& core, const tool::ToolCall& call, size_t input)
    : call_(call),
      input_(input),
      tool_(core.registry.get(call.name)),
      tape_(std::move(spare_tool_tape())) {
  std::swap(tape_, core.command_scratch());
}

DetachedToolCall::~DetachedToolCall() {
  trim_scratch(tape_);
  spare_tool_tape() = std::move(tape_);
}

std::string_view DetachedToolCall::answer(std::string& storage) {
  return call_tool_into(call_, tape_, input_, tool_, storage);
}

std::string_view call_tool_into(const tool::ToolCall& call, const json::Tape& tape, size_t input,
                                const std::shared_ptr<tool::Tool>& tool, std::string& storage) {
  // The output is written apart, so that a tool failing halfway leaves
  // nothing of it in the response; the buffer is kept for this thread's
  // next call unless one large output grew it.
  constexpr size_t kKeptOutputBytes = size_t{64} << 10;
  thread_local std::string t_output;
  json::Writer out(std::move(t_output), 0);
  const Status status = tool::invoke(tool, call.name, tape, input, out);
  const std::string_view response =
      protocol::encode_tool_events_into(call, tape, input, status, out.text(), storage);
  t_output = out.release();
  if (t_output.capacity() > kKeptOutputBytes) std::string().swap(t_output);
  return response;
}

}  // namespace dovek::engine
