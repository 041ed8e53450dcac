// A core behind a mutual-exclusion lock and a poison flag: the unit that the
// Python binding runs commands on. The binding's process-wide core and every
// Python `Core` object are GuardedCores; they share nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "base/error.h"
#include "base/mutex.h"

namespace dovek::engine {

class Core;

// Makes the fresh core that a GuardedCore starts with and that each reset
// puts in place (never null). Called from any thread that constructs or
// resets a core, so it must be safe to call from several at once.
using CoreFactory = std::function<std::unique_ptr<Core>()>;

inline constexpr std::string_view kPoisonedMessage = "core state lock was poisoned";
inline constexpr std::string_view kClosedMessage = "core is closed";

// Thread safety: every method may be called from any thread; commands and
// resets on one GuardedCore run one at a time.
class GuardedCore {
 public:
  // Starts with, and resets to, Core::create_default().
  GuardedCore();
  // Starts with, and resets to, what `factory` makes.
  explicit GuardedCore(CoreFactory factory);
  ~GuardedCore();
  GuardedCore(const GuardedCore&) = delete;
  GuardedCore& operator=(const GuardedCore&) = delete;

  // Decodes, handles and encodes one command under the lock. Once closed,
  // every call (this one and each below but close) fails with "core is
  // closed" without running; once poisoned, with "core state lock was
  // poisoned".
  // An exception escaping the command (a broken invariant, bad_alloc)
  // poisons the core and propagates to the caller, except std::bad_alloc
  // while decoding (nothing has changed yet: the core stays usable).
  //
  // A call_tool command's tool is taken out of the registry under the lock
  // and invoked after the lock is released, so that a slow tool holds up no
  // other command and a tool may itself run commands on this core. An
  // exception from the tool propagates without poisoning the core.
  Result<std::string> run_json(std::string_view command_json);
  // The same, writing the response into `storage` and returning a view of
  // it (see dispatch_json_into), so that a caller can reuse one buffer.
  Result<std::string_view> run_json(std::string_view command_json, std::string& storage);

  // The JSON of the records of one kind ("skill", "session", "task", "run",
  // "profile"; see read_records_json), read under the lock like a command:
  // with a key, that record or `null`; without, every record of the kind in
  // key order. An unknown kind fails with unknown_record_kind_message before
  // the lock is taken (parse_record_kind tells it apart beforehand);
  // repository errors pass through unchanged. Poisoning as for commands.
  Result<std::string> read_json(std::string_view kind, std::optional<std::string_view> key);
  // The session under `key` with only its last `last` messages before index
  // `before` (clamped to its length), in the session form with "first" and
  // "total" (see read_session_page_json), or `null`; read like read_json.
  Result<std::string> read_session_page_json(std::string_view key, size_t last,
                                             std::optional<size_t> before);
  // The keys of the records of one kind as a JSON array, in key order (see
  // read_keys_json); an unknown kind fails as in read_json.
  Result<std::string> keys_json(std::string_view kind);
  // The selected model as in the model_switched response, under the lock.
  // Fails only when poisoned.
  Result<std::string> model_json();

  // Deletes the record of one kind (as read_json names them) stored under
  // `key`, under the lock like a command: true when there was one. A durable
  // core removes it in one write transaction and then scrubs the store's
  // files of its old copies (store::Transactions::scrub). An unknown kind
  // fails as in read_json.
  Result<bool> remove(std::string_view kind, std::string_view key);

  // Closes the core for good: takes the lock (waiting for a command in
  // flight), runs `while_closing` under it, and lets go of the core and of
  // the factory, which a durable core's connection goes with (destroyed
  // after the lock is released). Closing a closed core does nothing; a
  // poisoned core closes too. Never fails.
  void close(const std::function<void()>& while_closing = {});
  // Whether close() has run (read without the lock).
  bool closed() const { return closed_.load(std::memory_order_acquire); }

  // Replaces the content with a fresh core from the factory, destroying
  // every record of the old one. Fails when poisoned; does not clear poison.
  // The fresh core is built before the lock is taken (from a copy of the
  // factory taken under it; a closed core has none) and the old one is
  // destroyed after it is released: the lock is held only for the swap (and,
  // for a durable core, for the one transaction that empties its database,
  // Core::erase_records; its failure leaves the old core in place), and for
  // `while_swapped`, which runs under it right after the swap (to drop what
  // the caller keeps beside the old core's tools, say).
  Status reset(const std::function<void()>& while_swapped = {});

  bool poisoned();

  // Runs `f(Core&)` under the lock, for changes made between commands (the
  // binding registers and removes tools so); fails with the poisoned message
  // without running `f` once poisoned. An exception escaping `f` propagates
  // without poisoning the core: `f` must leave it consistent.
  template <class F>
  Status with_core(F&& f) {
    MutexLock lock(mu_);
    DOVEK_TRY(usable());
    f(*core_);
    return ok_status();
  }

  // Test seam: runs `f(Core&)` under the lock, e.g. to register a
  // tool or inspect the stores. The caller must include "engine/core.h".
  // An exception escaping `f` does not poison the core. REQUIRES: not closed.
  template <class F>
  void with_core_for_test(F&& f) {
    MutexLock lock(mu_);
    f(*core_);
  }

 private:
  Mutex mu_;
  CoreFactory factory_ GUARDED_BY(mu_);  // copies are called without it; empty once closed
  bool poisoned_ GUARDED_BY(mu_) = false;  // never cleared
  std::atomic<bool> closed_{false};        // written under mu_; never cleared
  std::unique_ptr<Core> core_ GUARDED_BY(mu_);  // null once closed

  // Fails with the closed or the poisoned message.
  Status usable() const REQUIRES(mu_) {
    if (closed_.load(std::memory_order_relaxed)) return Error(std::string(kClosedMessage));
    if (poisoned_) return Error(std::string(kPoisonedMessage));
    return ok_status();
  }

  // Runs f(Core&) under the lock and returns its result: fails without
  // running when poisoned, and an exception escaping f poisons the core.
  template <class F>
  auto locked(F&& f) -> decltype(f(std::declval<Core&>()));

  // Runs f() and returns its result; an exception escaping f poisons the
  // core on its way to the caller, except std::bad_alloc when
  // `bad_alloc_poisons` is false (the caller knows f changed nothing then).
  // A forced unwind (the thread being cancelled) carries no exception object
  // and says nothing about the core.
  template <class F>
  std::invoke_result_t<F&> poisoning(F&& f, bool bad_alloc_poisons = true) REQUIRES(mu_);

  friend void prepare_fork();
  friend void after_fork_in_parent();
};

// The fork protocol for every live GuardedCore. prepare_fork() waits for the
// commands in flight and takes every core's lock, in one fixed order, so
// that no command runs while the process forks; both after_fork functions
// release them, and the child gets every core in a consistent state.
// REQUIRES: prepare_fork() and one after_fork function on the forking
// thread, which holds no core's lock. No command may wait for anything the
// forking thread holds (the binding never takes the interpreter back while
// it holds a core's lock).
void prepare_fork();
void after_fork_in_parent();
void after_fork_in_child();

}  // namespace dovek::engine
