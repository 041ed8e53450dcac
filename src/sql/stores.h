// The repositories of a database store: the engine's five record kinds and
// the selected model, all on one connection whose transactions make a
// command atomic. Every operation requires an open transaction (begin).
#pragma once

#include <memory>
#include <utility>

#include "sql/session_store.h"
#include "sql/skill_store.h"
#include "sql/table_store.h"
#include "store/repository.h"
#include "store/transactions.h"

namespace dovek::sql {

template <class T>
using Handle = std::shared_ptr<store::Repository<T>>;

// The repositories as make_stores() fills them (a core's stores have the
// same members).
struct Stores {
  Handle<skill::Skill> skills;
  std::shared_ptr<chat::SessionRepository> sessions;
  Handle<run::Task> tasks;
  Handle<run::Run> runs;
  Handle<auth::Profile> profiles;
  Handle<model::Model> model;
  std::shared_ptr<store::Transactions> transactions;  // the connection
};

// The repositories on connection `db`, of driver D (sql/driver.h), as the
// members of an Out named as Stores's are.
template <class Out = Stores, Driver D>
Out make_stores(std::shared_ptr<D> db) {
  Out s;
  s.skills = std::make_shared<SkillStore<D>>(db);
  s.sessions = std::make_shared<SessionStore<D>>(db);
  s.tasks = std::make_shared<TableStore<D, run::Task, TaskCodec>>(db);
  s.runs = std::make_shared<TableStore<D, run::Run, RunCodec>>(db);
  s.profiles = std::make_shared<TableStore<D, auth::Profile, ProfileCodec>>(db);
  s.model = std::make_shared<TableStore<D, model::Model, ModelCodec>>(db);
  s.transactions = std::move(db);
  return s;
}

}  // namespace dovek::sql
