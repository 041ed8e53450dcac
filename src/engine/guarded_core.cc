#include "engine/guarded_core.h"

#include <exception>
#include <new>
#include <utility>

#include "base/live_set.h"
#include "engine/core.h"
#include "engine/dispatch.h"
#include "engine/readback.h"
#include "engine/tool_call.h"
#include "protocol/encode.h"

namespace dovek::engine {
namespace {

// Runs `f` (returning a Result) as it is on an in-memory core, and on a
// durable one inside one transaction of `access` (a read's is a snapshot of
// the database), committed when `f` succeeds.
template <class F>
auto in_transaction(Core& core, store::Access access, F&& f) -> decltype(f()) {
  store::Transactions* tx = core.stores.transactions.get();
  if (tx == nullptr) return f();
  DOVEK_TRY(tx->begin(access));
  store::TransactionGuard guard(*tx);
  auto result = f();
  if (!result.ok()) return result;
  DOVEK_TRY(guard.commit());
  return result;
}

template <class F>
auto reading(Core& core, F&& f) -> decltype(f()) {
  return in_transaction(core, store::Access::kRead, std::forward<F>(f));
}

}  // namespace

GuardedCore::GuardedCore() : GuardedCore(&Core::create_default) {}

// Every live core is in LiveSet<GuardedCore>, whose address order is the
// order in which the fork protocol takes their locks.
GuardedCore::GuardedCore(CoreFactory factory) {
  {
    MutexLock lock(mu_);  // not needed yet, but what the lock analysis sees
    factory_ = std::move(factory);
    core_ = factory_();
  }
  LiveSet<GuardedCore>::add(this);
}

GuardedCore::~GuardedCore() { LiveSet<GuardedCore>::remove(this); }

Result<std::string> GuardedCore::run_json(std::string_view command_json) {
  std::string storage;
  DOVEK_ASSIGN_OR_RETURN(std::string_view response, run_json(command_json, storage));
  storage.resize(response.size());  // the text starts the buffer
  return storage;
}

template <class F>
std::invoke_result_t<F&> GuardedCore::poisoning(F&& f, bool bad_alloc_poisons) {
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
  MutexLock lock(mu_);
  DOVEK_TRY(usable());
  // An exception unwinding out of a read poisons the core, as one out of a
  // command does.
  Core& core = *core_;
  return poisoning([&] { return f(core); });
}

Result<std::string_view> GuardedCore::run_json(std::string_view command_json,
                                               std::string& storage) {
  MutexLock lock(mu_);
  DOVEK_TRY(usable());
  // An exception unwinding out of a command poisons the core; a normal
  // return (success or error value) leaves it alone. The handlers cost
  // nothing unless something throws. Out of memory while decoding does not
  // poison: the decoder let its buffers go and nothing else changed.
  Core& core = *core_;
  size_t tool_input = 0;
  Result<protocol::CoreCommand> command =
      poisoning([&] { return decode_with_scratch(core, command_json, &tool_input); },
                /*bad_alloc_poisons=*/false);
  if (!command.ok()) return std::move(command).error();
  if (auto* call = std::get_if<protocol::CallTool>(&*command)) {
    DetachedToolCall detached(core, call->call, tool_input);
    lock.unlock();
    return detached.answer(storage);
  }
  return poisoning([&] { return handle_and_encode(core, std::move(*command), storage); });
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

Result<bool> GuardedCore::remove(std::string_view kind, std::string_view key) {
  const std::optional<RecordKind> parsed = parse_record_kind(kind);
  if (!parsed) return Error(unknown_record_kind_message(kind));
  return locked([&](Core& core) -> Result<bool> {
    DOVEK_ASSIGN_OR_RETURN(bool removed, in_transaction(core, store::Access::kWrite, [&] {
                             return remove_record(core, *parsed, key);
                           }));
    if (removed && core.stores.transactions) DOVEK_TRY(core.stores.transactions->scrub());
    return removed;
  });
}

void GuardedCore::close(const std::function<void()>& while_closing) {
  // Both destroyed after the lock is released: the records of an in-memory
  // core take a while to free, and a durable core's connection closes with
  // the last of them.
  std::unique_ptr<Core> old;
  CoreFactory factory;
  MutexLock lock(mu_);
  if (closed_.load(std::memory_order_relaxed)) return;
  old = std::move(core_);
  factory = std::exchange(factory_, nullptr);
  closed_.store(true, std::memory_order_release);
  if (while_closing) while_closing();
}

Status GuardedCore::reset(const std::function<void()>& while_swapped) {
  CoreFactory factory;
  {
    MutexLock lock(mu_);
    if (closed_.load(std::memory_order_relaxed)) return Error(std::string(kClosedMessage));
    factory = factory_;
  }
  std::unique_ptr<Core> fresh = factory();
  std::unique_ptr<Core> old;  // destroyed after the lock is released
  {
    MutexLock lock(mu_);
    DOVEK_TRY(usable());
    // A durable core's records outlive its Core objects: empty the database.
    if (fresh->stores.transactions) DOVEK_TRY(fresh->erase_records());
    old = std::exchange(core_, std::move(fresh));
    if (while_swapped) while_swapped();
  }
  return ok_status();
}

bool GuardedCore::poisoned() {
  MutexLock lock(mu_);
  return poisoned_;
}

// The locks are taken here and let go of in another function, which the
// lock analysis cannot follow.
void prepare_fork() {
  LiveSet<GuardedCore>::lock();
  LiveSet<GuardedCore>::for_each_locked([](GuardedCore* core)
                                            NO_THREAD_SAFETY_ANALYSIS { core->mu_.lock(); });
}

void after_fork_in_parent() {
  LiveSet<GuardedCore>::for_each_locked([](GuardedCore* core)
                                            NO_THREAD_SAFETY_ANALYSIS { core->mu_.unlock(); });
  LiveSet<GuardedCore>::unlock();
}

void after_fork_in_child() {
  // The forking thread took every lock and is the child's only thread, so
  // it may release them.
  after_fork_in_parent();
}

}  // namespace dovek::engine
