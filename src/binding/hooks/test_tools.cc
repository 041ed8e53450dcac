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
//   __wait_on_drop__  its content is a PATH: when the store is destroyed (with
//              its core), it waits up to 60 s for PATH to appear, then writes
//              "seen" or "timeout" to PATH.done; a test creates PATH from
//              another Python thread, which can only run if the core is
//              destroyed without the thread state.
#include <chrono>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
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
  HookedSkills() = default;
  HookedSkills(const HookedSkills&) = delete;
  HookedSkills& operator=(const HookedSkills&) = delete;
  ~HookedSkills() override {
    if (wait_on_drop_.empty()) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool seen = false;
    while (!(seen = std::ifstream(wait_on_drop_).good()) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::ofstream(wait_on_drop_ + ".done") << (seen ? "seen" : "timeout");
  }

  Result<std::optional<skill::Skill>> get(std::string_view key) const override {
    return inner_->get(key);
  }
  Result<List> list() const override { return inner_->list(); }
  Status put(std::string_view key, skill::Skill record) override {
    if (key == "__throw__") throw std::logic_error("test hook: broken invariant");
    if (key == "__wait_on_drop__") {
      wait_on_drop_ = record.content();
      return ok_status();
    }
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
  std::string wait_on_drop_;  // written under the core's lock, read at destruction
};

std::unique_ptr<engine::Core> create_with_test_hooks() {
  std::unique_ptr<engine::Core> core = engine::Core::create_default();
  core->stores.skills = std::make_shared<HookedSkills>();
  return core;
}

}  // namespace

engine::CoreFactory core_factory() { return &create_with_test_hooks; }

}  // namespace dovek::binding
