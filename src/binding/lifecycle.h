// The module's part in the host process's life: fork and exit.
#pragma once

namespace dovek::binding {

// Registers the fork handlers (os.register_at_fork): a fork waits for the
// commands in flight and takes every core's lock, so the child finds each
// core consistent and usable, and the child closes its copies of the pipes
// of skills the parent is running. Registers an exit handler that kills
// every skill still running, so none outlives the host.
// REQUIRES: the interpreter lock; called once per process. False with an
// exception set on failure.
bool install_process_hooks();

}  // namespace dovek::binding
