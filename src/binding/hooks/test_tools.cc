// The test-hooks module's cores: Core::create_default plus two tools for the
// Python tests, never in the installed module.
//
//   __throw__  throws a C++ exception, to exercise the poisoning of a core
//              (tests/python/test_commands.py).
//   __sleep__  holds the core's lock for a while, so that tests can fork,
//              reset or end the interpreter while a command is in flight
//              (tests/python/test_host_process.py). Input {"ms": N, "flag":
//              PATH}: creates PATH, then sleeps N ms.
#include <chrono>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "binding/core_factory.h"
#include "domain/tool.h"
#include "engine/core.h"
#include "json/value.h"

namespace dovek::binding {
namespace {

struct ThrowingTool final : tool::Tool {
  std::string_view name() const override { return "__throw__"; }
  std::string_view description() const override { return "throws a C++ exception"; }
  Result<json::Value> invoke(json::Value) override {
    throw std::logic_error("test hook: broken invariant");
  }
};

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

std::unique_ptr<engine::Core> create_with_test_tools() {
  std::unique_ptr<engine::Core> core = engine::Core::create_default();
  core->register_tool("__throw__", std::make_shared<ThrowingTool>());
  core->register_tool("__sleep__", std::make_shared<SleepingTool>());
  return core;
}

}  // namespace

engine::CoreFactory core_factory() { return &create_with_test_tools; }

}  // namespace dovek::binding
