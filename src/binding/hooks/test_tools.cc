// The test-hooks module's cores: Core::create_default with a skill store that
// reacts to two skill ids, for the Python tests; never in the installed
// module. Both act inside the store's put, so while the core's lock is held.
//
//   __throw__  throws a C++ exception, to exercise the poisoning of a core
//              (tests/python/test_commands.py).
//   __sleep__  holds the core's lock for a while, so that tests can fork,
//              reset or end the interpreter while a command is in flight
//              (tests/python/test_host_process.py). The skill's content is
//              {"ms": N, "flag": PATH}: creates PATH, then sleeps N ms.
#include <chrono>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "binding/core_factory.h"
#include "engine/core.h"
#include "json/read.h"
#include "json/value.h"
#include "store/memory_store.h"

namespace dovek::binding {
namespace {

void sleep_as_told(std::string_view content) {
  Result<json::Value> input = json::parse(content);
  if (!input.ok() || !input->is_object()) return;
  const json::Value* ms = input->as_object().find("ms");
  const json::Value* flag = input->as_object().find("flag");
  if (flag && flag->is_string()) std::ofstream(flag->as_string()).put('1');
  if (ms && ms->is_u64()) std::this_thread::sleep_for(std::chrono::milliseconds(ms->as_u64()));
}

class HookedSkills final : public store::Repository<skill::Skill> {
 public:
  Result<std::optional<skill::Skill>> get(std::string_view key) const override {
    return inner_->get(key);
  }
  Result<List> list() const override { return inner_->list(); }
  Status put(std::string_view key, skill::Skill record) override {
    if (key == "__throw__") throw std::logic_error("test hook: broken invariant");
    if (key == "__sleep__") {
      sleep_as_told(record.content());
      return ok_status();  // not stored: later catalogs stay as they were
    }
    return inner_->put(key, std::move(record));
  }
  Result<bool> remove(std::string_view key) override { return inner_->remove(key); }
  Status replace_all(std::vector<std::pair<std::string, skill::Skill>> pairs) override {
    return inner_->replace_all(std::move(pairs));
  }

 private:
  std::shared_ptr<store::Repository<skill::Skill>> inner_ =
      store::MemoryStore<skill::Skill>::shared();
};

std::unique_ptr<engine::Core> create_with_test_hooks() {
  std::unique_ptr<engine::Core> core = engine::Core::create_default();
  core->stores.skills = std::make_shared<HookedSkills>();
  return core;
}

}  // namespace

engine::CoreFactory core_factory() { return &create_with_test_hooks; }

}  // namespace dovek::binding
