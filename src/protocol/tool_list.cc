#include "protocol/tool_list.h"

#include <optional>

#include "json/write.h"

namespace dovek::protocol {

std::string encode_tool_list(const tool::Registry& registry) {
  json::Writer w;
  w.begin_array();
  for (const auto& [name, tool] : registry) {
    w.begin_object();
    w.key(json::kKey<"name">);
    w.string(name);
    w.key(json::kKey<"description">);
    if (std::optional<std::string_view> description = tool->description()) {
      w.string(*description);
    } else {
      w.null();
    }
    w.key(json::kKey<"input_schema">);
    w.value(tool->input_schema());
    w.end_object();
  }
  w.end_array();
  return w.take();
}

}  // namespace dovek::protocol
