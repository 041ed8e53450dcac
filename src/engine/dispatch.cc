#include "engine/dispatch.h"

#include <utility>

#include "engine/core.h"
#include "protocol/decode.h"
#include "protocol/encode.h"

namespace dovek::engine {

Result<std::string> dispatch_json(Core& core, std::string_view text) {
  DOVEK_ASSIGN_OR_RETURN(proto::CoreCommand command, protocol::decode_command(text));
  DOVEK_ASSIGN_OR_RETURN(proto::CoreResponse response, core.handle(std::move(command)));
  return protocol::encode_response(response);
}

}  // namespace dovek::engine
