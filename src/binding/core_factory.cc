// The installed module's cores: Core::create_default, nothing added.
#include "binding/core_factory.h"

#include "engine/core.h"

namespace dovek::binding {

engine::CoreFactory core_factory() { return &engine::Core::create_default; }

}  // namespace dovek::binding
