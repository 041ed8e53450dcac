#include "engine/core.h"

#include "store/memory_store.h"

namespace dovek::engine {

using model::default_model;

CoreStores CoreStores::memory() {
  CoreStores stores;
  stores.skills = store::MemoryStore<skill::Skill>::shared();
  stores.sessions = store::MemoryStore<chat::Session, chat::SessionRepository>::shared();
  stores.tasks = store::MemoryStore<run::Task>::shared();
  stores.runs = store::MemoryStore<run::Run>::shared();
  stores.profiles = store::MemoryStore<auth::Profile>::shared();
  return stores;
}

Core::Core(model::Model model) : stores(CoreStores::memory()) { agent.model = std::move(model); }

std::unique_ptr<Core> Core::create(model::Model model) {
  return std::unique_ptr<Core>(new Core(std::move(model)));
}

std::unique_ptr<Core> Core::create_default() { return create(default_model()); }

void Core::set_model(model::Model model) { agent.model = std::move(model); }

Status Core::switch_model(const model::Model& model) {
  set_model(model);
  if (stores.model) return stores.model->put(model::kSelectedKey, model);
  return ok_status();
}

Status Core::load_model() {
  DOVEK_ASSIGN_OR_RETURN(std::optional<model::Model> stored,
                         stores.model->get(model::kSelectedKey));
  agent.model = stored ? std::move(*stored) : default_model();
  return ok_status();
}

Status Core::erase_records() {
  store::Transactions& tx = *stores.transactions;
  DOVEK_TRY(tx.begin(store::Access::kWrite));
  store::TransactionGuard guard(tx);
  DOVEK_TRY(stores.skills->replace_all({}));
  DOVEK_TRY(stores.sessions->replace_all({}));
  DOVEK_TRY(stores.tasks->replace_all({}));
  DOVEK_TRY(stores.runs->replace_all({}));
  DOVEK_TRY(stores.profiles->replace_all({}));
  DOVEK_TRY(stores.model->put(model::kSelectedKey, default_model()));
  DOVEK_TRY(guard.commit());
  agent.model = default_model();
  return ok_status();
}

Result<skill::Catalog> Core::skill_catalog() {
  DOVEK_ASSIGN_OR_RETURN(skill::Catalog::List listing, stores.skills->list());
  if (skill::Catalog::keyed_by_id(listing)) {
    if (built_source_) {
      built_source_.reset();
      built_ = skill::Catalog();
    }
    return skill::Catalog::from_snapshot(std::move(listing));
  }
  // A pure memo of immutable data: the same listing always yields the same
  // catalog.
  if (!built_source_ || !listing.same_tree(*built_source_)) {
    built_ = skill::Catalog::from_snapshot(listing);
    built_source_ = std::move(listing);
  }
  return built_;
}

Status Core::save_skill(skill::Skill skill) {
  std::string id = skill.id();
  return stores.skills->put(id, std::move(skill));
}

Status Core::save_profile(auth::Profile profile) {
  return auth::save_profile(*stores.profiles, std::move(profile));
}

void Core::register_tool(std::string name, std::shared_ptr<tool::Tool> tool) {
  registry.insert(std::move(name), std::move(tool));
}

agent::Exec Core::make_exec() const { return agent::Exec{&agent, &registry}; }

Status Core::load_model_for_exec() {
  // A durable core reads the selected model in the command's transaction,
  // last of its reads: a store that sends its reads together then carries it
  // with the others.
  if (stores.transactions) return load_model();
  return ok_status();
}

}  // namespace dovek::engine
