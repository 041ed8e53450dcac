// Core::handle: which flow each command runs and which response it gets.
#include "engine/core.h"

namespace dovek::engine {
namespace {

struct Handler {
  Core& core;

  Result<proto::CoreResponse> operator()(proto::SaveSkill& c) {
    DOVEK_TRY(core.save_skill(std::move(c.skill)));
    return proto::CoreResponse(proto::Saved{});
  }
  Result<proto::CoreResponse> operator()(proto::SaveProfile& c) {
    DOVEK_TRY(core.save_profile(std::move(c.profile)));
    return proto::CoreResponse(proto::Saved{});
  }
  // Responses are built in their place in the result: moving a record of
  // short strings costs a library call per string.
  Result<proto::CoreResponse> operator()(proto::SwitchModel& c) {
    DOVEK_TRY(core.switch_model(c.model));
    return Result<proto::CoreResponse>(std::in_place, std::in_place_type<proto::ModelSwitched>,
                                       std::move(c.model));
  }
  Result<proto::CoreResponse> operator()(proto::ChatTurn& c) {
    chat::TurnRequest request =
        chat::TurnRequest::with_assigned_skills(chat::TurnRequest(std::move(c.message)),
                                                std::move(c.assigned_skills));
    DOVEK_ASSIGN_OR_RETURN(auto events, core.chat_turn(c.session_id, std::move(request)));
    return proto::CoreResponse(proto::ChatTurnResponse{std::move(events)});
  }
  Result<proto::CoreResponse> operator()(proto::StartRun& c) {
    Result<proto::CoreResponse> response(std::in_place, std::in_place_type<proto::RunStarted>);
    Status started =
        core.start_run_into(std::get<proto::RunStarted>(*response).run, std::move(c.task),
                            std::move(c.run_id), std::move(c.session_id));
    if (!started.ok()) response = std::move(started).error();
    return response;
  }
  Result<proto::CoreResponse> operator()(proto::RunTask& c) {
    run::TaskRequest request = run::TaskRequest::with_assigned_skills(
        run::TaskRequest(std::move(c.task), std::move(c.message)), std::move(c.assigned_skills));
    DOVEK_ASSIGN_OR_RETURN(auto events, core.run_task(c.run_id, std::move(request)));
    return proto::CoreResponse(proto::RunTaskResponse{std::move(events)});
  }
  // Not a command of Core::handle (see DetachedToolCall).
  Result<proto::CoreResponse> operator()(proto::CallTool&) {
    return Error("call_tool is answered by engine::DetachedToolCall, not Core::handle");
  }
};

}  // namespace

Result<proto::CoreResponse> Core::handle(proto::CoreCommand&& command) {
  return std::visit(Handler{*this}, command);
}

}  // namespace dovek::engine
