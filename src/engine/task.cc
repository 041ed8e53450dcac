// Tasks and runs: start_run registers a task and a running run; run_task
// renders the task's prompt and marks the run done.
#include "engine/core.h"

namespace dovek::engine {

Result<run::Run> Core::start_run(run::Task task, std::string run_id, std::string session_id) {
  run::Run r;
  DOVEK_TRY(start_run_into(r, std::move(task), std::move(run_id), std::move(session_id)));
  return r;
}

Status Core::start_run_into(run::Run& r, run::Task&& task, std::string run_id,
                            std::string session_id) {
  // Run::create's fields, set in place: the other eight stay absent.
  r.id = std::move(run_id);
  r.task_id = task.id;
  r.status = run::RunStatus::kRunning;
  r.session_id = std::move(session_id);
  DOVEK_TRY(run::save_task(*stores.tasks, std::move(task)));
  return run::save_run(*stores.runs, r);
}

Result<std::vector<event::Event>> Core::run_task(std::string_view run_id,
                                                 run::TaskRequest request) {
  DOVEK_TRY(run::save_task(*stores.tasks, run::Task(request.task)));
  DOVEK_ASSIGN_OR_RETURN(std::optional<run::Run> found, stores.runs->get(run_id));
  run::Run r = found ? std::move(*found) : run::Run::create(run_id, request.task.id);
  DOVEK_ASSIGN_OR_RETURN(skill::Catalog catalog, skill_catalog());
  agent::RunInput input = run::build_agent_input(catalog, request);
  DOVEK_TRY(load_model_for_exec());
  agent::RunOutput output = make_exec().dry_run(std::move(input));
  r.status = run::RunStatus::kDone;
  DOVEK_TRY(run::save_run(*stores.runs, std::move(r)));
  return std::move(output.events);
}

}  // namespace dovek::engine
