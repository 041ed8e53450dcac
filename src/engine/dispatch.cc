#include "engine/dispatch.h"

#include <new>
#include <utility>

#include "engine/core.h"
#include "protocol/decode.h"
#include "protocol/encode.h"

namespace dovek::engine {

namespace {

// A command's scratch buffers are kept for the next command up to this size;
// a larger command's are freed once it is decoded.
constexpr size_t kKeptScratchBytes = size_t{1} << 20;

}  // namespace

Result<proto::CoreCommand> decode_with_scratch(Core& core, std::string_view text) {
  json::Tape& scratch = core.command_scratch();
  try {
    Result<proto::CoreCommand> decoded = protocol::decode_command(text, scratch);
    scratch.trim(kKeptScratchBytes);
    return decoded;
  } catch (const std::bad_alloc&) {
    scratch = json::Tape();  // its buffers are what ran out: let them go
    throw;
  }
}

Result<std::string_view> handle_and_encode(Core& core, proto::CoreCommand&& command,
                                           std::string& storage) {
  Result<proto::CoreResponse> response = core.handle(std::move(command));
  if (!response.ok()) return std::move(response).error();
  return protocol::encode_response_into(*response, storage);
}

Result<std::string_view> dispatch_json_into(Core& core, std::string_view text,
                                            std::string& storage) {
  DOVEK_ASSIGN_OR_RETURN(proto::CoreCommand command, decode_with_scratch(core, text));
  return handle_and_encode(core, std::move(command), storage);
}

Result<std::string> dispatch_json(Core& core, std::string_view text) {
  std::string storage;
  DOVEK_ASSIGN_OR_RETURN(std::string_view response, dispatch_json_into(core, text, storage));
  storage.resize(response.size());  // the text starts the buffer
  return storage;
}

}  // namespace dovek::engine
