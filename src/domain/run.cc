#include "domain/run.h"

#include <utility>

#include "domain/context.h"

namespace dovek::run {
namespace {

constexpr std::string_view kTaskFields[] = {"id",         "title",  "input",    "agent_id",
                                            "session_id", "status", "schedule", "created_at",
                                            "updated_at", "error"};
constexpr json::RecordShape kTaskShape{"struct Task", kTaskFields, 0b11, 10};

}  // namespace

Status decode_task_into(json::Cursor& c, Task& t) {
  std::optional<std::string>* const optional_fields[] = {&t.input,      &t.agent_id, &t.session_id,
                                                         &t.status,     &t.schedule, &t.created_at,
                                                         &t.updated_at, &t.error};
  return c.record(kTaskShape, [&](size_t i, json::Cursor& f) -> Status {
    if (i == 0) {
      DOVEK_TRY(f.string(t.id));
    } else if (i == 1) {
      DOVEK_TRY(f.string(t.title));
    } else {
      DOVEK_TRY(f.optional_string(*optional_fields[i - 2]));
    }
    return ok_status();
  });
}

std::string_view status_name(RunStatus s) {
  static constexpr std::string_view kNames[] = {"pending", "running", "done", "failed", "canceled"};
  return kNames[static_cast<size_t>(s)];
}

void write_run(json::Writer& w, const Run& run) {
  auto optional = [&w](const json::Key& key, const std::optional<std::string>& value) {
    w.key(key);
    w.optional_string(value ? &*value : nullptr);
  };
  w.begin_object();
  w.key(json::kKey<"id">);
  w.string(run.id);
  w.key(json::kKey<"task_id">);
  w.string(run.task_id);
  w.key(json::kKey<"status">);
  w.string(status_name(run.status));
  optional(json::kKey<"raw_status">, run.raw_status);
  optional(json::kKey<"session_id">, run.session_id);
  optional(json::kKey<"execution_id">, run.execution_id);
  optional(json::kKey<"checkpoint_id">, run.checkpoint_id);
  optional(json::kKey<"error">, run.error);
  optional(json::kKey<"started_at">, run.started_at);
  optional(json::kKey<"updated_at">, run.updated_at);
  optional(json::kKey<"ended_at">, run.ended_at);
  w.end_object();
}

agent::RunInput build_agent_input(const skill::Catalog& catalog, const TaskRequest& request) {
  std::string message;
  message.reserve(6 + request.task.title.size() + 2 + request.message.size());
  message += "Task: ";
  message += request.task.title;
  message += "\n\n";
  message += request.message;
  agent::RunInput input{std::move(message), {}};
  return agent::RunInput::with_skill_context(
      std::move(input), skill::resolve_context(catalog, request.assigned_skills, request.message));
}

Status save_task(store::Repository<Task>& tasks, Task&& task) {
  const std::string key = task.id;
  return tasks.put(key, std::move(task));
}

Status save_run(store::Repository<Run>& runs, const Run& run) { return runs.put(run.id, run); }

}  // namespace dovek::run
