// The factory of every core this module creates: the process-wide core, each
// Python `Core` object, and each reset of either. A build links exactly one
// definition: core_factory.cc in the installed module, hooks/test_tools.cc in
// the test-hooks module (the same core with a skill repository that reacts
// to a few skill ids, which the Python tests of internal faults and of the
// host process use).
#pragma once

#include "engine/guarded_core.h"

namespace dovek::binding {

engine::CoreFactory core_factory();

}  // namespace dovek::binding
