#include "engine/guarded_core.h"

#include <exception>
#include <set>
#include <utility>

#include "engine/core.h"
#include "engine/dispatch.h"

namespace dovek::engine {
namespace {

// Every live GuardedCore, ordered by address: the order in which the fork
// protocol takes their locks. Both are leaked so that no static destructor
// runs while another thread may still construct or destroy a core.
std::mutex& registry_mu() {
  static auto* mu = new std::mutex();
  return *mu;
}
std::set<GuardedCore*>& registry() {
  static auto* cores = new std::set<GuardedCore*>();
  return *cores;
}

}  // namespace

GuardedCore::GuardedCore() : GuardedCore(&Core::create_default) {}

GuardedCore::GuardedCore(CoreFactory factory) : factory_(std::move(factory)), core_(factory_()) {
  std::lock_guard<std::mutex> lock(registry_mu());
  registry().insert(this);
}

GuardedCore::~GuardedCore() {
  std::lock_guard<std::mutex> lock(registry_mu());
  registry().erase(this);
}

Result<std::string> GuardedCore::run_json_locked(std::string_view command_json) {
  std::string storage;
  DOVEK_ASSIGN_OR_RETURN(std::string_view response, run_json_locked(command_json, storage));
  storage.resize(response.size());  // the text starts the buffer
  return storage;
}

Result<std::string_view> GuardedCore::run_json_locked(std::string_view command_json,
                                                      std::string& storage) {
  std::lock_guard<std::mutex> lock(mu_);
  if (poisoned_) return Error(std::string(kPoisonedMessage));
  // An exception unwinding out of a command poisons the core; a normal
  // return (success or error value) leaves it alone. The handler costs
  // nothing unless something throws.
  try {
    return dispatch_json_into(*core_, command_json, storage);
  } catch (...) {
    // A forced unwind (the thread being cancelled) carries no exception
    // object and says nothing about the core.
    if (std::current_exception()) poisoned_ = true;
    throw;
  }
}

Status GuardedCore::reset() {
  std::unique_ptr<Core> fresh = factory_();
  std::unique_ptr<Core> old;  // destroyed after the lock is released
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (poisoned_) return Error(std::string(kPoisonedMessage));
    // A durable core's records outlive its Core objects: empty the database.
    if (fresh->stores.transactions) DOVEK_TRY(fresh->erase_records());
    old = std::exchange(core_, std::move(fresh));
  }
  return ok_status();
}

bool GuardedCore::poisoned() {
  std::lock_guard<std::mutex> lock(mu_);
  return poisoned_;
}

void prepare_fork() {
  registry_mu().lock();
  for (GuardedCore* core : registry()) core->mu_.lock();
}

void after_fork_in_parent() {
  for (GuardedCore* core : registry()) core->mu_.unlock();
  registry_mu().unlock();
}

void after_fork_in_child() {
  // The forking thread took every lock and is the child's only thread, so
  // it may release them.
  after_fork_in_parent();
}

}  // namespace dovek::engine
