// The command pipeline for text: decode_command -> Core::handle ->
// encode_response, or for a call_tool command decode_command ->
// DetachedToolCall (engine/tool_call.h), which writes its own response.
#pragma once

#include <string>
#include <string_view>

#include "base/error.h"
#include "protocol/proto.h"

namespace dovek::engine {

class Core;

// Decodes one command text, has `core` carry it out and encodes the response.
// A text that does not decode fails with decode_command's error and reaches
// no repository; a command that fails fails with Core::handle's error.
// REQUIRES: exclusive use of `core` for the duration of the call.
[[nodiscard]] Result<std::string> dispatch_json(Core& core, std::string_view text);

// dispatch_json writing the response into `storage`, reusing its allocation
// (see encode_response_into): the text is the returned view of its start.
[[nodiscard]] Result<std::string_view> dispatch_json_into(Core& core, std::string_view text,
                                                          std::string& storage);

// The steps of dispatch_json_into, for a caller that runs part of a command
// without exclusive use of the core (GuardedCore invokes a call's tool
// without the core's lock). decode_with_scratch reads into the core's
// scratch tape; on std::bad_alloc the scratch is dropped and nothing else in
// the core has changed.
// REQUIRES (both): exclusive use of `core`.
// With `tool_input`, a call_tool command's input stays in the scratch tape,
// unread, at the token index stored there (see protocol::decode_command),
// and the tape is not trimmed: the caller takes the input from it before
// the next command reuses it, and trims it with trim_scratch.
[[nodiscard]] Result<protocol::CoreCommand> decode_with_scratch(Core& core, std::string_view text,
                                                                size_t* tool_input = nullptr);
// Drops a scratch tape's buffers once one large command has grown them.
void trim_scratch(json::Tape& tape);
// REQUIRES: not a call_tool command (see Core::handle).
[[nodiscard]] Result<std::string_view> handle_and_encode(Core& core,
                                                         protocol::CoreCommand&& command,
                                                         std::string& storage);

}  // namespace dovek::engine
