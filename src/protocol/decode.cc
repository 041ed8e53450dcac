#include "protocol/decode.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "json/read.h"

namespace dovek::protocol {
namespace {

using json::Cursor;
using json::Tape;
using json::TokenKind;

constexpr std::array<std::string_view, 7> kTags = {
    "save_skill", "save_profile", "switch_model", "chat_turn", "start_run", "run_task", "call_tool",
};
constexpr std::array<std::string_view, 7> kAlternatives = {
    "SaveSkill", "SaveProfile", "SwitchModel", "ChatTurn", "StartRun", "RunTask", "CallTool",
};

constexpr std::array<std::string_view, 1> kSaveSkillFields = {"skill"};
constexpr std::array<std::string_view, 1> kSaveProfileFields = {"profile"};
constexpr std::array<std::string_view, 1> kSwitchModelFields = {"model"};
constexpr std::array<std::string_view, 3> kChatTurnFields = {"session_id", "message",
                                                             "assigned_skills"};
constexpr std::array<std::string_view, 3> kStartRunFields = {"task", "run_id", "session_id"};
constexpr std::array<std::string_view, 4> kRunTaskFields = {"run_id", "task", "message",
                                                            "assigned_skills"};
constexpr std::array<std::string_view, 1> kCallToolFields = {"call"};

constexpr std::array<std::span<const std::string_view>, 7> kFields = {
    kSaveSkillFields, kSaveProfileFields, kSwitchModelFields, kChatTurnFields,
    kStartRunFields,  kRunTaskFields,     kCallToolFields,
};

std::string unknown_variant(std::string_view name) {
  std::string out = "unknown variant `";
  out += name;
  out += "`, expected one of ";
  for (size_t i = 0; i < kTags.size(); ++i) {
    if (i) out += ", ";
    out += '`';
    out += kTags[i];
    out += '`';
  }
  return out;
}

// Checks the tag at token `index` the moment it is read.
Result<size_t> read_tag(const Tape& tape, size_t index) {
  Cursor c(tape, index, true);
  if (c.kind() != TokenKind::kString) return c.invalid_type("variant identifier");
  const std::string_view name = tape.string(tape[index]);
  for (size_t i = 0; i < kTags.size(); ++i) {
    if (kTags[i] == name) return i;
  }
  return c.error(unknown_variant(name));
}

std::string element_count(size_t n, std::string_view what) {
  return std::to_string(n) + (n == 1 ? " element" : " elements") + std::string(what);
}

// Decodes field `i` of alternative `alt` into `fields` (which holds one slot
// per alternative's field, filled in as they are met).
struct Fields {
  std::optional<skill::Skill> skill;
  std::optional<auth::Profile> profile;
  std::optional<model::Model> model;
  std::optional<run::Task> task;
  std::optional<tool::ToolCall> call;
  std::optional<std::string> s[3];  // session_id / run_id / message by role
  std::optional<std::vector<std::string>> assigned_skills;
};

// Field roles per alternative, so one decoder serves all seven.
enum class Role { kSkill, kProfile, kModel, kTask, kCall, kSessionId, kRunId, kMessage, kAssigned };

Role role_of(size_t alt, size_t field) {
  switch (alt) {
    case 0: return Role::kSkill;
    case 1: return Role::kProfile;
    case 2: return Role::kModel;
    case 3: return field == 0 ? Role::kSessionId : field == 1 ? Role::kMessage : Role::kAssigned;
    case 4: return field == 0 ? Role::kTask : field == 1 ? Role::kRunId : Role::kSessionId;
    case 5:
      return field == 0   ? Role::kRunId
             : field == 1 ? Role::kTask
             : field == 2 ? Role::kMessage
                          : Role::kAssigned;
    default: return Role::kCall;
  }
}

Status decode_field(size_t alt, size_t field, Cursor& c, Fields& f) {
  switch (role_of(alt, field)) {
    case Role::kSkill: {
      DOVEK_ASSIGN_OR_RETURN(f.skill, skill::decode_skill(c));
      break;
    }
    case Role::kProfile: {
      DOVEK_ASSIGN_OR_RETURN(f.profile, auth::decode_profile(c));
      break;
    }
    case Role::kModel: {
      DOVEK_ASSIGN_OR_RETURN(f.model, model::decode_model(c));
      break;
    }
    case Role::kTask: {
      DOVEK_ASSIGN_OR_RETURN(f.task, run::decode_task(c));
      break;
    }
    case Role::kCall: {
      DOVEK_ASSIGN_OR_RETURN(f.call, tool::decode_tool_call(c));
      break;
    }
    case Role::kSessionId: {
      DOVEK_ASSIGN_OR_RETURN(f.s[0], c.string());
      break;
    }
    case Role::kRunId: {
      DOVEK_ASSIGN_OR_RETURN(f.s[1], c.string());
      break;
    }
    case Role::kMessage: {
      DOVEK_ASSIGN_OR_RETURN(f.s[2], c.string());
      break;
    }
    case Role::kAssigned: {
      DOVEK_ASSIGN_OR_RETURN(f.assigned_skills, c.string_array());
      break;
    }
  }
  return ok_status();
}

proto::CoreCommand build(size_t alt, Fields&& f) {
  switch (alt) {
    case 0: return proto::SaveSkill{std::move(*f.skill)};
    case 1: return proto::SaveProfile{std::move(*f.profile)};
    case 2: return proto::SwitchModel{std::move(*f.model)};
    case 3:
      return proto::ChatTurn{std::move(*f.s[0]), std::move(*f.s[2]), std::move(*f.assigned_skills)};
    case 4: return proto::StartRun{std::move(*f.task), std::move(*f.s[1]), std::move(*f.s[0])};
    case 5:
      return proto::RunTask{std::move(*f.s[1]), std::move(*f.task), std::move(*f.s[2]),
                            std::move(*f.assigned_skills)};
    default: return proto::CallTool{std::move(*f.call)};
  }
}

Result<proto::CoreCommand> decode_inner(std::string_view text, Tape& tape) {
  // The tag is checked as soon as the reader meets it.
  std::optional<size_t> tag;
  auto hook = [&](const Tape& tape, size_t index) -> Status {
    const bool object_form = tape[0].kind == TokenKind::kObjectBegin;
    if (object_form) {
      if (tape.string(tape[index - 1]) != "type") return ok_status();
      if (tag) return Cursor(tape, index - 1, true).error("duplicate field `type`");
    } else if (index != 1) {
      return ok_status();  // only the first element of the array form is the tag
    }
    DOVEK_ASSIGN_OR_RETURN(tag, read_tag(tape, index));
    return ok_status();
  };
  DOVEK_TRY(tape.reread(text, hook));

  const TokenKind root = tape[0].kind;
  if (root != TokenKind::kObjectBegin && root != TokenKind::kArrayBegin) {
    return Cursor(tape, 0, true).invalid_type("internally tagged enum CoreCommand");
  }
  if (!tag) return Error("missing field `type`");

  const size_t alt = *tag;
  const std::span<const std::string_view> names = kFields[alt];
  Fields fields;
  if (root == TokenKind::kObjectBegin) {
    // The members other than the tag, in text order; `type` is skipped as an
    // unknown key here since the reader has already taken it.
    const json::RecordShape shape{kAlternatives[alt], names, (uint64_t{1} << names.size()) - 1,
                                  names.size()};
    Cursor c(tape, 0, false);
    DOVEK_TRY(
        c.record(shape, [&](size_t i, Cursor& fc) { return decode_field(alt, i, fc, fields); }));
  } else {
    // Array form: the tag, then the fields by position.
    size_t count = 0;
    for (size_t i = 2; i < tape.size() && tape[i].kind != TokenKind::kArrayEnd; ++count) {
      Cursor skip(tape, i, false);
      skip.skip();
      i = skip.index();
    }
    Cursor c(tape, 1, false);
    c.skip();  // the tag
    for (size_t i = 0; i < names.size(); ++i) {
      if (i >= count) {
        return Error("invalid length " + std::to_string(count) +
                     ", expected struct variant CoreCommand::" + std::string(kAlternatives[alt]) +
                     " with " + element_count(names.size(), ""));
      }
      DOVEK_TRY(decode_field(alt, i, c, fields));
    }
    if (count > names.size()) {
      return Error("invalid length " + std::to_string(count) + ", expected " +
                   element_count(names.size(), " in sequence"));
    }
  }
  DOVEK_TRY(tape.check_trailing());
  return build(alt, std::move(fields));
}

}  // namespace

Result<proto::CoreCommand> decode_command(std::string_view text) {
  Tape tape;
  return decode_command(text, tape);
}

Result<proto::CoreCommand> decode_command(std::string_view text, Tape& scratch) {
  Result<proto::CoreCommand> command = decode_inner(text, scratch);
  if (!command.ok()) return context("decode CoreCommand JSON", std::move(command).error());
  return command;
}

}  // namespace dovek::protocol
