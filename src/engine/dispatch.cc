#include "engine/dispatch.h"

#include <new>
#include <utility>

#include "engine/core.h"
#include "engine/tool_call.h"
#include "protocol/decode.h"
#include "protocol/encode.h"

namespace dovek::engine {

namespace {

// A command's scratch buffers are kept for the next command up to this size;
// a larger command's are freed once it is decoded.
constexpr size_t kKeptScratchBytes = size_t{1} << 20;

// A durable core: the command's repository calls are one transaction. The
// flows that give the model to an executor read it inside it (another
// process may have switched it), just before they need it
// (Core::load_model_for_exec). (Tool calls never come here: they touch no
// repository and need no model.)
Result<protocol::CoreResponse> handle_atomically(Core& core, protocol::CoreCommand&& command) {
  store::Transactions& tx = *core.stores.transactions;
  DOVEK_TRY(tx.begin(store::Access::kWrite));
  store::TransactionGuard guard(tx);
  DOVEK_ASSIGN_OR_RETURN(protocol::CoreResponse response, core.handle(std::move(command)));
  DOVEK_TRY(guard.commit());
  return response;
}

}  // namespace

Result<protocol::CoreCommand> decode_with_scratch(Core& core, std::string_view text,
                                                  size_t* tool_input) {
  json::Tape& scratch = core.command_scratch();
  try {
    Result<protocol::CoreCommand> decoded = protocol::decode_command(text, scratch, tool_input);
    const bool input_in_tape = tool_input != nullptr && decoded.ok() &&
                               std::holds_alternative<protocol::CallTool>(*decoded);
    if (!input_in_tape) scratch.trim(kKeptScratchBytes);
    return decoded;
  } catch (const std::bad_alloc&) {
    scratch = json::Tape();  // its buffers are what ran out: let them go
    throw;
  }
}

Result<std::string_view> handle_and_encode(Core& core, protocol::CoreCommand&& command,
                                           std::string& storage) {
  Result<protocol::CoreResponse> response = core.stores.transactions
                                                ? handle_atomically(core, std::move(command))
                                                : core.handle(std::move(command));
  if (!response.ok()) return std::move(response).error();
  return protocol::encode_response_into(*response, storage);
}

Result<std::string_view> dispatch_json_into(Core& core, std::string_view text,
                                            std::string& storage) {
  size_t tool_input = 0;
  DOVEK_ASSIGN_OR_RETURN(protocol::CoreCommand command,
                         decode_with_scratch(core, text, &tool_input));
  if (auto* call = std::get_if<protocol::CallTool>(&command)) {
    return DetachedToolCall(core, call->call, tool_input).answer(storage);
  }
  return handle_and_encode(core, std::move(command), storage);
}

Result<std::string> dispatch_json(Core& core, std::string_view text) {
  std::string storage;
  DOVEK_ASSIGN_OR_RETURN(std::string_view response, dispatch_json_into(core, text, storage));
  storage.resize(response.size());  // the text starts the buffer
  return storage;
}

void trim_scratch(json::Tape& tape) { tape.trim(kKeptScratchBytes); }

}  // namespace dovek::engine
