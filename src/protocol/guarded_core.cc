#include "protocol/guarded_core.h"

#include "engine/core.h"
#include "protocol/server.h"

namespace dovek::server {
namespace {

// Marks the core poisoned when a command unwinds with an exception while the
// lock is held; a normal return (success or error value) leaves it alone.
class PoisonOnUnwind {
 public:
  explicit PoisonOnUnwind(bool& flag) : flag_(flag), exceptions_(std::uncaught_exceptions()) {}
  ~PoisonOnUnwind() {
    if (std::uncaught_exceptions() > exceptions_) flag_ = true;
  }

 private:
  bool& flag_;
  int exceptions_;
};

}  // namespace

GuardedCore::GuardedCore() : core_(engine::Core::create_default()) {}
GuardedCore::~GuardedCore() = default;

Result<std::string> GuardedCore::run_json_locked(std::string_view command_json) {
  std::lock_guard<std::mutex> lock(mu_);
  if (poisoned_) return Error(std::string(kPoisonedMessage));
  PoisonOnUnwind guard(poisoned_);
  return dispatch_json(*core_, command_json);
}

Status GuardedCore::reset() {
  std::lock_guard<std::mutex> lock(mu_);
  if (poisoned_) return Error(std::string(kPoisonedMessage));
  PoisonOnUnwind guard(poisoned_);
  // Build first, then destroy the old content in place.
  std::unique_ptr<engine::Core> fresh = engine::Core::create_default();
  core_.reset();
  core_ = std::move(fresh);
  return ok_status();
}

bool GuardedCore::poisoned() {
  std::lock_guard<std::mutex> lock(mu_);
  return poisoned_;
}

GuardedCore& global_core() {
  // Leaked on purpose: the core lives until the process ends, and must not be
  // destroyed by static destructors while other threads may still use it.
  static GuardedCore* core = new GuardedCore();
  return *core;
}

}  // namespace dovek::server
