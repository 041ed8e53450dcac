// The tool list of a registry: what an application hands a model.
#pragma once

#include <string>

#include "domain/tool.h"

namespace dovek::protocol {

// A JSON array, in name order, of {"name","description","input_schema"}:
// the description null when the tool has none, the input schema as the
// tool gives it (null when it has none).
std::string encode_tool_list(const tool::Registry& registry);

}  // namespace dovek::protocol
