#include "binding/durable.h"

#include <memory>
#include <string>
#include <utility>

#include "binding/core_factory.h"
#include "engine/core.h"
#include "sqlite/stores.h"
#include "sqlite/url.h"

namespace dovek::binding {

Result<engine::CoreFactory> open_core_factory(std::string_view url) {
  const std::string_view scheme = url.substr(0, url.find(':'));
  if (scheme != sqlite::kScheme || scheme.size() == url.size()) {
    return Error("unsupported store URL scheme: `" + std::string(scheme) + "`");
  }
  DOVEK_ASSIGN_OR_RETURN(sqlite::Options options, sqlite::parse_url(url));
  DOVEK_ASSIGN_OR_RETURN(sqlite::Stores opened, sqlite::open_stores(std::move(options)));
  auto stores = std::make_shared<const sqlite::Stores>(std::move(opened));
  return engine::CoreFactory([make = core_factory(), stores]() {
    std::unique_ptr<engine::Core> core = make();
    core->stores =
        engine::CoreStores{stores->skills,   stores->sessions, stores->tasks, stores->runs,
                           stores->profiles, stores->model,    stores->db};
    return core;
  });
}

void close_stores_for_fork() { sqlite::Database::close_all_for_fork(); }

void close_stores_at_exit() { sqlite::Database::close_all_at_exit(); }

}  // namespace dovek::binding
