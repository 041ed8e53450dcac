// Shared helpers for the engine tests: command texts, a core whose
// repositories can be made to fail, and small tools.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "domain/tool.h"
#include "engine/core.h"
#include "json/value.h"
#include "store/memory_store.h"
#include "store/repository.h"

namespace dovek::testing {

// A skill record in its JSON object form.
inline std::string skill_json(std::string_view id, std::string_view name = "Name",
                              std::string_view content = "do it") {
  return R"({"id":")" + std::string(id) + R"(","name":")" + std::string(name) +
         R"(","source":"user","read_only":false,"content":")" + std::string(content) +
         R"(","suggested_tools":[]})";
}

inline std::string save_skill(std::string_view id, std::string_view name = "Name",
                              std::string_view content = "do it") {
  return R"({"type":"save_skill","skill":)" + skill_json(id, name, content) + "}";
}

inline std::string chat_turn(std::string_view session, std::string_view message,
                             std::string_view assigned = "[]") {
  return R"({"type":"chat_turn","session_id":")" + std::string(session) + R"(","message":")" +
         std::string(message) + R"(","assigned_skills":)" + std::string(assigned) + "}";
}

inline std::string start_run(std::string_view run, std::string_view task,
                             std::string_view session) {
  return R"({"type":"start_run","task":{"id":")" + std::string(task) + R"(","title":"Title )" +
         std::string(task) + R"("},"run_id":")" + std::string(run) + R"(","session_id":")" +
         std::string(session) + R"("})";
}

inline std::string run_task(std::string_view run, std::string_view task,
                            std::string_view message = "go") {
  return R"({"type":"run_task","run_id":")" + std::string(run) + R"(","task":{"id":")" +
         std::string(task) + R"(","title":"Title )" + std::string(task) + R"("},"message":")" +
         std::string(message) + R"(","assigned_skills":[]})";
}

inline const char* const kSaveProfile =
    R"({"type":"save_profile","profile":{"provider":{"id":"p1"},"secret":{"key":"k1"}}})";
inline const char* const kSwitchModel =
    R"({"type":"switch_model","model":{"provider":{"id":"anthropic"},"id":"m2"}})";
inline const char* const kCallTool =
    R"({"type":"call_tool","call":{"id":"c1","name":"echo","input":{"a":1}}})";

// A tool that records its input and answers with a fixed result.
class FixedTool final : public tool::ValueTool {
 public:
  explicit FixedTool(Result<json::Value> result) : result_(std::move(result)) {}
  Result<json::Value> invoke_value(const json::Value& input) override {
    inputs.push_back(input);
    return result_;
  }
  std::vector<json::Value> inputs;

 private:
  Result<json::Value> result_;
};

// Every repository call of a test core, in order, as "store.op key".
using CallLog = std::shared_ptr<std::vector<std::string>>;

// Wraps a MemoryStore, logs every call and fails the Nth call (1-based) of
// one chosen operation with the error "injected failure".
template <class T, class Base = store::Repository<T>>
class FailingRepository final : public Base {
 public:
  using List = typename store::Repository<T>::List;

  FailingRepository(std::string name, CallLog log)
      : name_(std::move(name)), log_(std::move(log)), inner_(store::MemoryStore<T>::shared()) {}

  void fail(std::string op, int nth) {
    fail_op_ = std::move(op);
    fail_nth_ = nth;
  }
  store::Repository<T>& inner() { return *inner_; }

  Result<std::optional<T>> get(std::string_view key) const override {
    if (auto e = record("get", key)) return *e;
    return inner_->get(key);
  }
  Result<List> list() const override {
    if (auto e = record("list", "")) return *e;
    return inner_->list();
  }
  Status put(std::string_view key, T value) override {
    if (auto e = record("put", key)) return *e;
    return inner_->put(key, std::move(value));
  }
  Result<bool> remove(std::string_view key) override {
    if (auto e = record("remove", key)) return *e;
    return inner_->remove(key);
  }
  Status replace_all(std::vector<std::pair<std::string, T>> pairs) override {
    if (auto e = record("replace_all", "")) return *e;
    return inner_->replace_all(std::move(pairs));
  }

 private:
  std::optional<Error> record(std::string_view op, std::string_view key) const {
    std::string entry = name_ + "." + std::string(op);
    if (!key.empty()) entry += " " + std::string(key);
    log_->push_back(std::move(entry));
    if (op == fail_op_ && ++seen_ == fail_nth_) return Error("injected failure");
    return std::nullopt;
  }

  std::string name_;
  CallLog log_;
  std::shared_ptr<store::Repository<T>> inner_;
  std::string fail_op_;
  int fail_nth_ = 0;
  mutable int seen_ = 0;
};

// A default core whose five repositories are FailingRepository doubles.
struct InstrumentedCore {
  InstrumentedCore()
      : core(engine::Core::create_default()), log(std::make_shared<std::vector<std::string>>()) {
    skills = std::make_shared<FailingRepository<skill::Skill>>("skills", log);
    sessions =
        std::make_shared<FailingRepository<chat::Session, chat::SessionRepository>>("sessions",
                                                                                    log);
    tasks = std::make_shared<FailingRepository<run::Task>>("tasks", log);
    runs = std::make_shared<FailingRepository<run::Run>>("runs", log);
    profiles = std::make_shared<FailingRepository<auth::Profile>>("profiles", log);
    core->stores = engine::CoreStores{skills, sessions, tasks, runs, profiles, nullptr, nullptr};
  }

  std::unique_ptr<engine::Core> core;
  CallLog log;
  std::shared_ptr<FailingRepository<skill::Skill>> skills;
  std::shared_ptr<FailingRepository<chat::Session, chat::SessionRepository>> sessions;
  std::shared_ptr<FailingRepository<run::Task>> tasks;
  std::shared_ptr<FailingRepository<run::Run>> runs;
  std::shared_ptr<FailingRepository<auth::Profile>> profiles;
};

}  // namespace dovek::testing
