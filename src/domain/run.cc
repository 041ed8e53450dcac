#include "domain/run.h"

#include <utility>

#include "domain/context.h"

namespace dovek::run {

Status decode_task_into(json::Cursor& c, Task& t) { return fields::decode_record(c, t); }

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
