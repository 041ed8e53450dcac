#include "engine/guarded_core.h"

#include <exception>
#include <new>
#include <utility>

#include "base/live_set.h"
#include "engine/core.h"
#include "engine/dispatch.h"
#include "engine/readback.h"
#include "protocol/encode.h"

namespace dovek::engine {
namespace {

// Runs the read `f` (returning a Result) as it is on an in-memory core, and
// on a durable one inside one read transaction: a snapshot of the database.
template <class F>
auto reading(Core& core, F&& f) -> decltype(f()) {
  store::Transactions* tx = core.stores.transactions.get();
  if (tx == nullptr) return f();
  DOVEK_TRY(tx->begin(store::Access::Read));
  store::TransactionGuard guard(*tx);
  auto result = f();
  if (!result.ok()) return result;
  DOVEK_TRY(guard.commit());
  return result;
}

}  // namespace

GuardedCore::GuardedCore() : GuardedCore(&Core::create_default) {}

// Every live core is in LiveSet<GuardedCore>, whose address order is the
// order in which the fork protocol takes their locks.
GuardedCore::GuardedCore(CoreFactory factory) : factory_(std::move(factory)), core_(factory_()) {
  LiveSet<GuardedCore>::add(this);
}

GuardedCore::~GuardedCore() { LiveSet<GuardedCore>::remove(this); }

Result<std::string> GuardedCore::run_json_locked(std::string_view command_json) {
  std::string storage;
  DOVEK_ASSIGN_OR_RETURN(std::string_view response, run_json_locked(command_json, storage));
  storage.resize(response.size());  // the text starts the buffer
  return storage;
}

template <class F>
auto GuardedCore::poisoning(F&& f, bool bad_alloc_poisons) -> decltype(f()) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    if (bad_alloc_poisons) poisoned_ = true;
    throw;
  } catch (...) {
    if (std::current_exception()) poisoned_ = true;
    throw;
  }
}

template <class F>
auto GuardedCore::locked(F&& f) -> decltype(f(std::declval<Core&>())) {
  std::lock_guard<std::mutex> lock(mu_);
  if (poisoned_) return Error(std::string(kPoisonedMessage));
  // An exception unwinding out of a read poisons the core, as one out of a
  // command does.
  return poisoning([&] { return f(*core_); });
}

Result<std::string_view> GuardedCore::run_json_locked(std::string_view command_json,
                                                      std::string& storage) {
  std::unique_lock<std::mutex> lock(mu_);
  if (poisoned_) return Error(std::string(kPoisonedMessage));
  // An exception unwinding out of a command poisons the core; a normal
  // return (success or error value) leaves it alone. The handlers cost
  // nothing unless something throws. Out of memory while decoding does not
  // poison: the decoder let its buffers go and nothing else changed.
  size_t tool_input = 0;
  Result<proto::CoreCommand> command =
      poisoning([&] { return decode_with_scratch(*core_, command_json, &tool_input); },
                /*bad_alloc_poisons=*/false);
  if (!command.ok()) return std::move(command).error();
  if (auto* call = std::get_if<proto::CallTool>(&*command)) {
    std::shared_ptr<tool::Tool> tool = core_->registry.get(call->call.name);
    // The input was left in the core's scratch tape: the tape leaves with
    // this call, in exchange for this thread's spare one (buffers swapped,
    // not copied), so that the next command cannot reuse it meanwhile.
    json::Tape tape = std::move(spare_tool_tape());
    std::swap(tape, core_->command_scratch());
    lock.unlock();
    std::string_view response = call_tool_into(call->call, tape, tool_input, tool, storage);
    trim_scratch(tape);
    spare_tool_tape() = std::move(tape);
    return response;
  }
  return poisoning([&] { return handle_and_encode(*core_, std::move(*command), storage); });
}

Result<std::string> GuardedCore::read_json(std::string_view kind,
                                           std::optional<std::string_view> key) {
  const std::optional<RecordKind> parsed = parse_record_kind(kind);
  if (!parsed) return Error(unknown_record_kind_message(kind));
  return locked([&](Core& core) {
    return reading(core, [&] { return read_records_json(core, *parsed, key); });
  });
}

Result<std::string> GuardedCore::read_session_page_json(std::string_view key, size_t last,
                                                        std::optional<size_t> before) {
  chat::PageRange range{.last = last};
  if (before) range.before = *before;
  return locked([&](Core& core) {
    return reading(core, [&] { return engine::read_session_page_json(core, key, range); });
  });
}

Result<std::string> GuardedCore::keys_json(std::string_view kind) {
  const std::optional<RecordKind> parsed = parse_record_kind(kind);
  if (!parsed) return Error(unknown_record_kind_message(kind));
  return locked(
      [&](Core& core) { return reading(core, [&] { return read_keys_json(core, *parsed); }); });
}

Result<std::string> GuardedCore::model_json() {
  return locked([](Core& core) {
    return reading(core, [&]() -> Result<std::string> {
      if (core.stores.model) DOVEK_TRY(core.load_model());
      return engine::model_json(core);
    });
  });
}

Status GuardedCore::reset(const std::function<void()>& while_swapped) {
  std::unique_ptr<Core> fresh = factory_();
  std::unique_ptr<Core> old;  // destroyed after the lock is released
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (poisoned_) return Error(std::string(kPoisonedMessage));
    // A durable core's records outlive its Core objects: empty the database.
    if (fresh->stores.transactions) DOVEK_TRY(fresh->erase_records());
    old = std::exchange(core_, std::move(fresh));
    if (while_swapped) while_swapped();
  }
  return ok_status();
}

bool GuardedCore::poisoned() {
  std::lock_guard<std::mutex> lock(mu_);
  return poisoned_;
}

void prepare_fork() {
  LiveSet<GuardedCore>::lock();
  LiveSet<GuardedCore>::for_each_locked([](GuardedCore* core) { core->mu_.lock(); });
}

void after_fork_in_parent() {
  LiveSet<GuardedCore>::for_each_locked([](GuardedCore* core) { core->mu_.unlock(); });
  LiveSet<GuardedCore>::unlock();
}

void after_fork_in_child() {
  // The forking thread took every lock and is the child's only thread, so
  // it may release them.
  after_fork_in_parent();
}

}  // namespace dovek::engine
