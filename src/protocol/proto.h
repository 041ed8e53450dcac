// CoreCommand and CoreResponse: what goes into the core and what comes out.
// On the wire each is one JSON object whose `type` names the alternative,
// with the alternative's fields beside it.
#pragma once

#include <string>
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

struct SaveSkill {
  skill::Skill skill;
};
struct SaveProfile {
  auth::Profile profile;
};
struct SwitchModel {
  model::Model model;
};
struct ChatTurn {
  std::string session_id;
  std::string message;
  std::vector<std::string> assigned_skills;
};
struct StartRun {
  run::Task task;
  std::string run_id;
  std::string session_id;
};
struct RunTask {
  std::string run_id;
  run::Task task;
  std::string message;
  std::vector<std::string> assigned_skills;
};
struct CallTool {
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
