// CoreCommand and CoreResponse: what goes into the core and what comes out.
// On the wire each is one JSON object whose `type` names the alternative,
// with the alternative's fields beside it.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "domain/auth.h"
#include "domain/event.h"
#include "domain/model.h"
#include "domain/run.h"
#include "domain/skill.h"
#include "domain/tool.h"

namespace dovek::proto {

// ---- commands, alternatives in declaration order ----
//
// A command is built empty in its place in a variant and then filled by the
// decoder. Each has a constructor of its own (`{}`): std::variant's in-place
// construction value-initialises, which for a class without one zero-fills
// the whole record first, a few hundred bytes whose block store then stalls
// the first reads of the fields.

struct SaveSkill {
  SaveSkill() {}  // NOLINT: see above
  skill::Skill skill;
};
struct SaveProfile {
  SaveProfile() {}  // NOLINT
  auth::Profile profile;
};
struct SwitchModel {
  SwitchModel() {}  // NOLINT
  model::Model model;
};
struct ChatTurn {
  ChatTurn() {}  // NOLINT
  std::string session_id;
  std::string message;
  std::vector<std::string> assigned_skills;
};
struct StartRun {
  StartRun() {}  // NOLINT
  run::Task task;
  std::string run_id;
  std::string session_id;
};
struct RunTask {
  RunTask() {}  // NOLINT
  std::string run_id;
  run::Task task;
  std::string message;
  std::vector<std::string> assigned_skills;
};
struct CallTool {
  CallTool() {}  // NOLINT
  tool::ToolCall call;
};

using CoreCommand =
    std::variant<SaveSkill, SaveProfile, SwitchModel, ChatTurn, StartRun, RunTask, CallTool>;

// ---- responses, alternatives in declaration order ----

struct Saved {};
struct ModelSwitched {
  model::Model model;
};
struct ChatTurnResponse {
  std::vector<event::Event> events;
};
struct RunStarted {
  RunStarted() {}  // NOLINT: built empty in its place and filled, as a command is
  explicit RunStarted(run::Run r) : run(std::move(r)) {}
  run::Run run;
};
struct RunTaskResponse {
  std::vector<event::Event> events;
};
struct ToolEvents {
  std::vector<event::Event> events;
};

using CoreResponse =
    std::variant<Saved, ModelSwitched, ChatTurnResponse, RunStarted, RunTaskResponse, ToolEvents>;

}  // namespace dovek::proto
