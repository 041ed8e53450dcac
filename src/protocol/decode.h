// The command pipeline: text -> CoreCommand -> Core::handle -> CoreResponse -> text.
#pragma once

#include <string>
#include <string_view>

#include "base/error.h"
#include "protocol/proto.h"

namespace dovek::engine {
class Core;
}

namespace dovek::server {

// Decodes one command text. On failure the error is "decode CoreCommand JSON"
// with the decoder's cause under it. No side effects.
//
// Order of failures: a syntax or nesting error anywhere in the text first,
// except that the tag (its type, a repeat, an unknown name) is checked the
// moment it is read; then field errors in text order, then missing fields;
// trailing characters last.
[[nodiscard]] Result<proto::CoreCommand> decode_command(std::string_view text);

// Writes a response compactly in one pass into one buffer (initial capacity
// 128 bytes). On failure: "encode CoreResponse JSON".
[[nodiscard]] Result<std::string> encode_response(const proto::CoreResponse& response);

// Hands the command to the engine and returns its response or error.
[[nodiscard]] Result<proto::CoreResponse> dispatch(engine::Core& core, proto::CoreCommand command);

// decode_command, dispatch, encode_response.
// REQUIRES: exclusive use of `core` for the duration of the call.
[[nodiscard]] Result<std::string> dispatch_json(engine::Core& core, std::string_view text);

}  // namespace dovek::server
