#include "engine/core.h"

#include "store/memory_store.h"

#ifdef DOVEK_TEST_HOOKS
#include <chrono>
#include <fstream>
#include <thread>
#endif

namespace dovek::engine {

CoreStores CoreStores::memory() {
  CoreStores stores;
  stores.skills = store::MemoryStore<skill::Skill>::shared();
  stores.sessions = store::MemoryStore<chat::Session>::shared();
  stores.tasks = store::MemoryStore<run::Task>::shared();
  stores.runs = store::MemoryStore<run::Run>::shared();
  stores.profiles = store::MemoryStore<auth::Profile>::shared();
  return stores;
}

Core::Core(model::Model model) : stores(CoreStores::memory()) {
  agent.model = std::move(model);
}

std::unique_ptr<Core> Core::create(model::Model model) {
  std::unique_ptr<Core> core(new Core(std::move(model)));
#ifdef DOVEK_TEST_HOOKS
  // Test builds only: a tool whose invocation throws, to exercise the
  // poisoning of a core from Python.
  struct ThrowingTool final : tool::Tool {
    std::string_view name() const override { return "__throw__"; }
    std::string_view description() const override { return "throws a C++ exception"; }
    Result<json::Value> invoke(json::Value) override {
      throw std::logic_error("test hook: broken invariant");
    }
  };
  core->register_tool("__throw__", std::make_shared<ThrowingTool>());
  // Test builds only: a tool that holds the core's lock for a while, so that
  // tests can fork, reset or end the interpreter while a command is in
  // flight. Input {"ms": N, "flag": PATH}: creates PATH, then sleeps N ms.
  struct SleepingTool final : tool::Tool {
    std::string_view name() const override { return "__sleep__"; }
    std::string_view description() const override { return "sleeps while holding the core"; }
    Result<json::Value> invoke(json::Value input) override {
      const json::Value* ms = input.is_object() ? input.as_object().find("ms") : nullptr;
      const json::Value* flag = input.is_object() ? input.as_object().find("flag") : nullptr;
      if (flag && flag->is_string()) std::ofstream(flag->as_string()).put('1');
      if (ms && ms->is_u64()) std::this_thread::sleep_for(std::chrono::milliseconds(ms->as_u64()));
      return json::Value(nullptr);
    }
  };
  core->register_tool("__sleep__", std::make_shared<SleepingTool>());
#endif
  return core;
}

std::unique_ptr<Core> Core::create_default() {
  return create(model::Model::create("openai", "gpt-5.5"));
}

void Core::set_model(model::Model model) { agent.model = std::move(model); }

Result<skill::Catalog> Core::skill_catalog() {
  DOVEK_ASSIGN_OR_RETURN(skill::Catalog::List listing, stores.skills->list());
  // A pure memo of immutable data: the same listing always yields the same
  // catalog, so reuse the last one while the store hands out that listing.
  if (listing != catalog_source_) {
    catalog_ = skill::Catalog::from_snapshot(listing);
    catalog_source_ = std::move(listing);
  }
  return catalog_;
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

agent::Exec Core::make_exec() const { return agent::Exec{agent, registry}; }

}  // namespace dovek::engine


namespace dovek::auth {

Status save_profile(store::Repository<Profile>& repository, Profile profile) {
  std::string id = profile.provider.id;
  return repository.put(id, std::move(profile));
}

}  // namespace dovek::auth
