// Tool calls: a call_tool command answered as the short event log of the
// call (its echo, then the tool's output or its error) rather than the raw
// result, so that a failing tool never fails the command. Every tool runs
// through tool::invoke on an input that stays JSON tokens (a tape) and an
// output written as JSON text, whether the input comes from a command's text
// (here) or from a model's tool call: a caller with a Value or a text of its
// own reads it onto a tape and calls the same tool the same way.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "domain/tool.h"
#include "json/tape.h"

namespace dovek::engine {

class Core;

// A call_tool command's tool call taken out of its core, so that the tool
// runs without exclusive use of the core: a GuardedCore answers it after
// releasing the core's lock, so that a slow tool does not hold up other
// commands and a tool may itself run commands on that core.
// Thread safety: a local of one thread.
class DetachedToolCall {
 public:
  // Looks the tool up in the core's registry and takes the tape that holds
  // the input (the core's scratch tape, in exchange for this thread's spare
  // one: buffers swapped, not copied), so that the core's next command
  // cannot reuse it meanwhile. REQUIRES: exclusive use of `core`; `call`
  // decoded by decode_with_scratch with its input left in the scratch tape
  // at token `input`; `call` outlives this object.
  DetachedToolCall(Core& core, const tool::ToolCall& call, size_t input);
  // Gives the tape back as this thread's spare one, trimmed.
  ~DetachedToolCall();
  DetachedToolCall(const DetachedToolCall&) = delete;
  DetachedToolCall& operator=(const DetachedToolCall&) = delete;

  // Runs the tool and answers the call (call_tool_into) into `storage`.
  // Needs no use of the core. Call it once.
  std::string_view answer(std::string& storage);

 private:
  const tool::ToolCall& call_;
  const size_t input_;
  const std::shared_ptr<tool::Tool> tool_;
  json::Tape tape_;
};

// The call answered as the encoded tool_events response of its two events,
// written into `storage` (see protocol::encode_response_into), for a call
// whose input is the value at token `input` of `tape`: the input is echoed
// from the tape, and the tool (nullptr: none registered under the call's
// name) reads it there and writes its output straight as JSON text
// (tool::invoke), so that no Value is built for either.
std::string_view call_tool_into(const tool::ToolCall& call, const json::Tape& tape, size_t input,
                                const std::shared_ptr<tool::Tool>& tool, std::string& storage);

}  // namespace dovek::engine
