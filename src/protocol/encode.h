// CoreResponse -> response text: the wire form of what the core answered.
#pragma once

#include <string>
#include <string_view>

#include "protocol/proto.h"

namespace dovek::protocol {

// Writes a response compactly in one pass into one buffer, sized up front
// from the response (its texts' bytes plus room for the fixed parts): `type`
// first, then the alternative's fields in order.
//
// Cannot fail: the writer has no error path. Every number has a text and
// every string is written as it is (valid UTF-8 in, valid UTF-8 out). Only an
// allocation failure stops it, as std::bad_alloc.
[[nodiscard]] std::string encode_response(const proto::CoreResponse& response);

// encode_response written into `storage`, reusing its allocation: the text
// is the returned view of its first bytes (the rest is the writer's room).
std::string_view encode_response_into(const proto::CoreResponse& response, std::string& storage);

}  // namespace dovek::protocol
