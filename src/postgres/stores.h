// The repositories of a PostgreSQL store: the engine's five record kinds and
// the selected model, all on one Database whose transactions make a command
// atomic. Every operation requires an open transaction (Database::begin).
#pragma once

#include <memory>

#include "base/error.h"
#include "domain/auth.h"
#include "domain/chat.h"
#include "domain/model.h"
#include "domain/run.h"
#include "domain/skill.h"
#include "postgres/database.h"
#include "store/repository.h"

namespace dovek::postgres {

template <class T>
using Handle = std::shared_ptr<store::Repository<T>>;

struct Stores {
  std::shared_ptr<Database> db;  // also the stores' Transactions
  Handle<skill::Skill> skills;
  Handle<chat::Session> sessions;
  Handle<run::Task> tasks;
  Handle<run::Run> runs;
  Handle<auth::Profile> profiles;
  Handle<model::Model> model;
};

Handle<skill::Skill> skill_store(std::shared_ptr<Database> db);
Handle<chat::Session> session_store(std::shared_ptr<Database> db);

// Connects (Database::open) and makes the repositories.
[[nodiscard]] Result<Stores> open_stores(Options options);

}  // namespace dovek::postgres
