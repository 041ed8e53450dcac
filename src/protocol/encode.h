// CoreResponse -> response text: the wire form of what the core answered.
#pragma once

#include <string>
#include <string_view>

#include "base/error.h"
#include "protocol/proto.h"

namespace dovek::protocol {

// Writes a response compactly in one pass into one buffer, sized up front
// from the response (its texts' bytes plus room for the fixed parts): `type`
// first, then the alternative's fields in order.
//
// Cannot fail: the writer has no error path. Every number has a text and
// every string is written as it is (valid UTF-8 in, valid UTF-8 out). Only an
// allocation failure stops it, as std::bad_alloc.
[[nodiscard]] std::string encode_response(const CoreResponse& response);

// encode_response written into `storage`, reusing its allocation: the text
// is the returned view of its first bytes (the rest is the writer's room).
std::string_view encode_response_into(const CoreResponse& response, std::string& storage);

// The tool_events response of `call` written into `storage` as
// encode_response_into writes it: the call's tool_call event with the input
// at token `input` of `tape` (call.input is not read), then its tool_result
// event whose value is the JSON text `output` or, when `status` is an error,
// the error event of its message (and `output` is ignored).
// REQUIRES: when status is ok, `output` is one value as json::Writer writes it.
std::string_view encode_tool_events_into(const tool::ToolCall& call, const json::Tape& tape,
                                         size_t input, const Status& status,
                                         std::string_view output, std::string& storage);

}  // namespace dovek::protocol
