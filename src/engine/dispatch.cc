#include "engine/dispatch.h"

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

Result<std::string_view> dispatch_json_into(Core& core, std::string_view text,
                                            std::string& storage) {
  json::Tape& scratch = core.command_scratch();
  Result<proto::CoreCommand> decoded = protocol::decode_command(text, scratch);
  scratch.trim(kKeptScratchBytes);
  if (!decoded.ok()) return std::move(decoded).error();
  Result<proto::CoreResponse> response = core.handle(std::move(decoded).value());
  if (!response.ok()) return std::move(response).error();
  return protocol::encode_response_into(*response, storage);
}

Result<std::string> dispatch_json(Core& core, std::string_view text) {
  std::string storage;
  DOVEK_ASSIGN_OR_RETURN(std::string_view response, dispatch_json_into(core, text, storage));
  storage.resize(response.size());  // the text starts the buffer
  return storage;
}

}  // namespace dovek::engine
