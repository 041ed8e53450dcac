#include "binding/durable.h"

#include <memory>
#include <string>
#include <utility>

#include "binding/core_factory.h"
#include "engine/core.h"
#include "postgres/database.h"
#include "postgres/url.h"
#include "sql/stores.h"
#include "sqlite/database.h"
#include "sqlite/url.h"

namespace dovek::binding {
namespace {

// core_factory()'s cores on the repositories of connection `db` (driver D,
// sql/driver.h) and its transactions, which every core made shares.
template <class D>
engine::CoreFactory factory_on(std::shared_ptr<D> db) {
  const auto stores = sql::make_stores<engine::CoreStores>(std::move(db));
  return engine::CoreFactory([make = core_factory(), stores]() {
    std::unique_ptr<engine::Core> core = make();
    core->stores = stores;
    return core;
  });
}

}  // namespace

Result<engine::CoreFactory> open_core_factory(std::string_view url) {
  const std::string_view scheme = url.substr(0, url.find(':'));
  if (scheme.size() < url.size() && scheme == sqlite::kScheme) {
    DOVEK_ASSIGN_OR_RETURN(sqlite::Options options, sqlite::parse_url(url));
    DOVEK_ASSIGN_OR_RETURN(auto db, sqlite::Database::open(std::move(options)));
    return factory_on(std::move(db));
  }
  if ((scheme.size() < url.size() &&
       (scheme == postgres::kScheme || scheme == postgres::kShortScheme)) ||
      postgres::is_keyword_value(url)) {
    DOVEK_ASSIGN_OR_RETURN(postgres::Options options, postgres::parse_url(url));
    DOVEK_ASSIGN_OR_RETURN(auto db, postgres::Database::open(std::move(options)));
    return factory_on(std::move(db));
  }
  return Error("unsupported store URL scheme: `" + std::string(scheme) + "`");
}

void close_stores_for_fork() {
  sqlite::Database::close_all_for_fork();
  postgres::Database::close_all_for_fork();
}

void close_stores_at_exit() {
  sqlite::Database::close_all_at_exit();
  postgres::Database::close_all_at_exit();
}

}  // namespace dovek::binding
