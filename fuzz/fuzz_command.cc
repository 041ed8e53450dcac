// Fuzz target: any bytes as command text through decode, dispatch on a core
// and encode.
//
// One core lives across inputs so that state accumulates (skills, profiles,
// sessions, tasks and runs saved by earlier inputs shape what later ones
// do); it is replaced every kResetInputs inputs or once the accepted command
// text it has seen passes kResetBytes, which bounds its growth. An input may
// also hold several commands separated by a line "---", run in order on the
// same core, so that the seeds can express whole sequences.
//
// Checks: every command gives a response or an error (a crash, a hang, a
// leak or an escaping exception is what libFuzzer reports); decode_command
// and dispatch_json agree on whether and how decoding fails, and so does
// decode_command leaving a tool call's input in the tape, which writes from
// there as the decoded input does; and every response is one JSON object
// whose "type" is a string.
//
// Run it with -detect_leaks=0 (scripts/fuzz.sh does): the growing core makes
// libFuzzer's per-input leak check scan the heap on nearly every input. Leaks
// are still reported, by the check at exit.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "engine/core.h"
#include "engine/dispatch.h"
#include "json/read.h"
#include "json/value.h"
#include "json/write.h"
#include "protocol/decode.h"

namespace {

using dovek::engine::Core;

constexpr size_t kResetInputs = 2000;
constexpr size_t kResetBytes = size_t{4} << 20;
constexpr std::string_view kSeparator = "\n---\n";

struct State {
  std::unique_ptr<Core> core;
  size_t inputs = 0;
  size_t bytes = 0;
};

State& state() {
  static State s;
  return s;
}

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "fuzz_command: %s: %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  __builtin_trap();
}

// Decoding with the tool input left in the tape (as a core serving a tool
// call does) fails as the plain decoding does, or gives the same command with
// an input that writes from the tape as the decoded input writes.
void check_tape_input(std::string_view text,
                      const dovek::Result<dovek::protocol::CoreCommand>& decoded) {
  dovek::json::Tape tape;
  size_t input = 0;
  auto lazy = dovek::protocol::decode_command(text, tape, &input);
  if (lazy.ok() != decoded.ok()) fail("decoding with the tool input in the tape differs", text);
  if (!decoded.ok()) {
    if (lazy.error().chain() != decoded.error().chain()) {
      fail("decode errors with the tool input in the tape differ", lazy.error().chain());
    }
    return;
  }
  const auto* call = std::get_if<dovek::protocol::CallTool>(&*decoded);
  if (call == nullptr) return;
  const dovek::tool::ToolCall& lazy_call = std::get<dovek::protocol::CallTool>(*lazy).call;
  if (lazy_call.id != call->call.id || lazy_call.name != call->call.name) {
    fail("tool call decoded with the input in the tape differs", text);
  }
  dovek::json::Writer w;
  dovek::json::write_value(w, tape, input);
  if (w.text() != dovek::json::write(call->call.input)) {
    fail("tool input written from the tape differs", w.text());
  }
}

void run_one(Core& core, std::string_view text, size_t& bytes) {
  auto decoded = dovek::protocol::decode_command(text);
  check_tape_input(text, decoded);
  auto response = dovek::engine::dispatch_json(core, text);
  if (!decoded.ok()) {
    if (response.ok()) fail("dispatch_json accepted what decode_command rejected", text);
    if (response.error().chain() != decoded.error().chain()) {
      fail("decode errors differ", decoded.error().chain() + " | " + response.error().chain());
    }
    if (decoded.error().message() != "decode CoreCommand JSON") {
      fail("unexpected decode message", decoded.error().chain());
    }
    return;
  }
  bytes += text.size();
  if (!response.ok()) {
    if (response.error().message() == "decode CoreCommand JSON") {
      fail("dispatch_json rejected what decode_command accepted", response.error().chain());
    }
    return;
  }
  auto parsed = dovek::json::parse(*response);
  if (!parsed.ok()) fail("response is not JSON", parsed.error().message() + " | " + *response);
  if (!parsed->is_object()) fail("response is not an object", *response);
  const dovek::json::Value* type = parsed->as_object().find("type");
  if (type == nullptr || !type->is_string()) fail("response without a type", *response);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  State& s = state();
  if (!s.core || s.inputs >= kResetInputs || s.bytes >= kResetBytes) {
    s.core = Core::create_default();
    s.inputs = 0;
    s.bytes = 0;
  }
  ++s.inputs;

  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (true) {
    const size_t cut = rest.find(kSeparator);
    run_one(*s.core, rest.substr(0, cut), s.bytes);
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + kSeparator.size());
  }
  return 0;
}
