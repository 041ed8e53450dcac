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
#include "domain/fields.h"
#include "domain/model.h"
#include "domain/run.h"
#include "domain/skill.h"
#include "domain/tool.h"

namespace dovek::protocol {

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

// The kind of CallTool's one field: decode_command reads the tool call
// itself, since it may leave the input on the tape.
struct ToolCallField {};

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

}  // namespace dovek::protocol

// Each command's trait: its tag (the `type` that names it), its name in
// causes, and its fields, every one required.
namespace dovek::fields {

template <>
struct Table<protocol::SaveSkill> {
  static constexpr std::string_view kTag = "save_skill";
  static constexpr std::string_view kDescription = "SaveSkill";
  using Fields = List<Field<"skill", &protocol::SaveSkill::skill, Decoded<&skill::decode_skill>>>;
};

template <>
struct Table<protocol::SaveProfile> {
  static constexpr std::string_view kTag = "save_profile";
  static constexpr std::string_view kDescription = "SaveProfile";
  using Fields = List<Field<"profile", &protocol::SaveProfile::profile, Nested>>;
};

template <>
struct Table<protocol::SwitchModel> {
  static constexpr std::string_view kTag = "switch_model";
  static constexpr std::string_view kDescription = "SwitchModel";
  using Fields = List<Field<"model", &protocol::SwitchModel::model, Nested>>;
};

template <>
struct Table<protocol::ChatTurn> {
  using T = protocol::ChatTurn;
  static constexpr std::string_view kTag = "chat_turn";
  static constexpr std::string_view kDescription = "ChatTurn";
  using Fields =
      List<Field<"session_id", &T::session_id, Text>, Field<"message", &T::message, Text>,
           Field<"assigned_skills", &T::assigned_skills, Texts>>;
};

template <>
struct Table<protocol::StartRun> {
  using T = protocol::StartRun;
  static constexpr std::string_view kTag = "start_run";
  static constexpr std::string_view kDescription = "StartRun";
  using Fields = List<Field<"task", &T::task, Nested>, Field<"run_id", &T::run_id, Text>,
                      Field<"session_id", &T::session_id, Text>>;
};

template <>
struct Table<protocol::RunTask> {
  using T = protocol::RunTask;
  static constexpr std::string_view kTag = "run_task";
  static constexpr std::string_view kDescription = "RunTask";
  using Fields = List<Field<"run_id", &T::run_id, Text>, Field<"task", &T::task, Nested>,
                      Field<"message", &T::message, Text>,
                      Field<"assigned_skills", &T::assigned_skills, Texts>>;
};

template <>
struct Table<protocol::CallTool> {
  static constexpr std::string_view kTag = "call_tool";
  static constexpr std::string_view kDescription = "CallTool";
  using Fields = List<Field<"call", &protocol::CallTool::call, protocol::ToolCallField>>;
};

}  // namespace dovek::fields
