#include "runtime/environment.h"

extern char** environ;

namespace dovek::runtime {

Environment capture_environment() {
  Environment env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string_view entry = *e;
    env.entries.emplace_back(entry);
    size_t eq = entry.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view name = entry.substr(0, eq);
    std::string value(entry.substr(eq + 1));
    // The first definition wins, as getenv() would see it.
    if (name == "PATH" && !env.path) env.path = std::move(value);
    else if (name == "HOME" && !env.home) env.home = std::move(value);
    else if (name == "TMPDIR" && !env.tmpdir) env.tmpdir = std::move(value);
    else if (name == "DOVEK_SKILLS_DIR" && !env.skills_dir) env.skills_dir = std::move(value);
  }
  return env;
}

}  // namespace dovek::runtime
