// Tasks (units of work described by the caller) and runs (one execution of
// a task, with a caller-chosen id and a status).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "domain/agent.h"
#include "domain/fields.h"
#include "domain/skill.h"
#include "json/read.h"
#include "json/write.h"
#include "store/repository.h"

namespace dovek::run {

// Stored in the task repository under its id. Apart from id and title the
// core carries the attributes as received and never reads them.
struct Task {
  std::string id;
  std::string title;
  std::optional<std::string> input;
  std::optional<std::string> agent_id;
  std::optional<std::string> session_id;
  std::optional<std::string> status;  // free text, not a RunStatus
  std::optional<std::string> schedule;
  std::optional<std::string> created_at;
  std::optional<std::string> updated_at;
  std::optional<std::string> error;

  bool operator==(const Task&) const = default;
};

// Object form (id and title required, the rest null or absent allowed) or
// array form ("struct Task", 10 elements), decoded straight into `task` (a
// record of ten fields, costly to move), which must be a default Task; on
// error it holds the fields read so far.
[[nodiscard]] Status decode_task_into(json::Cursor& c, Task& task);

// A run's state.
enum class RunStatus { kPending, kRunning, kDone, kFailed, kCanceled };

// A RunStatus's names; a stored number out of range reads as failed.
struct StatusNames {
  using type = RunStatus;
  static constexpr std::string_view kNames[] = {"pending", "running", "done", "failed", "canceled"};
  static constexpr RunStatus kFallback = RunStatus::kFailed;
};

// "pending", "running", "done", "failed", "canceled".
inline std::string_view status_name(RunStatus s) {
  return StatusNames::kNames[static_cast<size_t>(s)];
}

// Stored in the run repository under its id.
struct Run {
  std::string id;
  std::string task_id;
  RunStatus status = RunStatus::kPending;
  std::optional<std::string> raw_status;
  std::optional<std::string> session_id;
  std::optional<std::string> execution_id;
  std::optional<std::string> checkpoint_id;
  std::optional<std::string> error;
  std::optional<std::string> started_at;
  std::optional<std::string> updated_at;
  std::optional<std::string> ended_at;

  // The constructor operation `Run::new` (`new` is reserved in C++): status
  // pending, the eight optional fields absent.
  static Run create(std::string_view id, std::string task_id) {
    Run r;
    r.id = std::string(id);
    r.task_id = std::move(task_id);
    return r;
  }

  bool operator==(const Run&) const = default;
};

// The input of one task run.
struct TaskRequest {
  Task task;
  std::string message;  // the only text scanned for mentions
  std::vector<std::string> assigned_skills;

  TaskRequest(Task task, std::string message)
      : task(std::move(task)), message(std::move(message)) {}

  // Replaces (does not extend) the assigned ids and returns the request.
  static TaskRequest with_assigned_skills(TaskRequest request, std::vector<std::string> ids) {
    request.assigned_skills = std::move(ids);
    return request;
  }
};

// The agent input of a task run: message "Task: {title}\n\n{message}", skill
// context from the assigned ids and the mentions in the request's message
// (never in the title).
agent::RunInput build_agent_input(const skill::Catalog& catalog, const TaskRequest& request);

// Store a task or run under a copy of its own id; repository errors are
// returned unchanged. The task is taken as an rvalue so that it is moved only
// into the repository's hands (pass a copy to keep one).
[[nodiscard]] Status save_task(store::Repository<Task>& tasks, Task&& task);
[[nodiscard]] Status save_run(store::Repository<Run>& runs, const Run& run);

}  // namespace dovek::run

namespace dovek::fields {

template <>
struct Table<run::Task> {
  using T = run::Task;
  static constexpr std::string_view kDescription = "struct Task";
  using Fields =
      List<Field<"id", &T::id, Text>, Field<"title", &T::title, Text>,
           Field<"input", &T::input, OptionalText>, Field<"agent_id", &T::agent_id, OptionalText>,
           Field<"session_id", &T::session_id, OptionalText>,
           Field<"status", &T::status, OptionalText>, Field<"schedule", &T::schedule, OptionalText>,
           Field<"created_at", &T::created_at, OptionalText>,
           Field<"updated_at", &T::updated_at, OptionalText>,
           Field<"error", &T::error, OptionalText>>;
};

// Never decoded: a run is made by the engine.
template <>
struct Table<run::Run> {
  using T = run::Run;
  static constexpr std::string_view kDescription = "struct Run";
  using Fields = List<Field<"id", &T::id, Text>, Field<"task_id", &T::task_id, Text>,
                      Field<"status", &T::status, Enum<run::StatusNames>>,
                      Field<"raw_status", &T::raw_status, OptionalText>,
                      Field<"session_id", &T::session_id, OptionalText>,
                      Field<"execution_id", &T::execution_id, OptionalText>,
                      Field<"checkpoint_id", &T::checkpoint_id, OptionalText>,
                      Field<"error", &T::error, OptionalText>,
                      Field<"started_at", &T::started_at, OptionalText>,
                      Field<"updated_at", &T::updated_at, OptionalText>,
                      Field<"ended_at", &T::ended_at, OptionalText>>;
};

}  // namespace dovek::fields
