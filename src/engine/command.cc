// Core::handle: which flow each command runs and which response it gets.
#include "engine/core.h"

namespace dovek::engine {
namespace {

struct Handler {
  Core& core;

  Result<protocol::CoreResponse> operator()(protocol::SaveSkill& c) {
    DOVEK_TRY(core.save_skill(std::move(c.skill)));
    return protocol::CoreResponse(protocol::Saved{});
  }
  Result<protocol::CoreResponse> operator()(protocol::SaveProfile& c) {
    DOVEK_TRY(core.save_profile(std::move(c.profile)));
    return protocol::CoreResponse(protocol::Saved{});
  }
  // Responses are built in their place in the result: moving a record of
  // short strings costs a library call per string.
  Result<protocol::CoreResponse> operator()(protocol::SwitchModel& c) {
    DOVEK_TRY(core.switch_model(c.model));
    return Result<protocol::CoreResponse>(std::in_place,
                                          std::in_place_type<protocol::ModelSwitched>,
                                          std::move(c.model));
  }
  Result<protocol::CoreResponse> operator()(protocol::ChatTurn& c) {
    chat::TurnRequest request =
        chat::TurnRequest::with_assigned_skills(chat::TurnRequest(std::move(c.message)),
                                                std::move(c.assigned_skills));
    DOVEK_ASSIGN_OR_RETURN(auto events, core.chat_turn(c.session_id, std::move(request)));
    return protocol::CoreResponse(protocol::ChatTurnResponse{std::move(events)});
  }
  Result<protocol::CoreResponse> operator()(protocol::StartRun& c) {
    Result<protocol::CoreResponse> response(std::in_place,
                                            std::in_place_type<protocol::RunStarted>);
    Status started =
        core.start_run_into(std::get<protocol::RunStarted>(*response).run, std::move(c.task),
                            std::move(c.run_id), std::move(c.session_id));
    if (!started.ok()) response = std::move(started).error();
    return response;
  }
  Result<protocol::CoreResponse> operator()(protocol::RunTask& c) {
    run::TaskRequest request = run::TaskRequest::with_assigned_skills(
        run::TaskRequest(std::move(c.task), std::move(c.message)), std::move(c.assigned_skills));
    DOVEK_ASSIGN_OR_RETURN(auto events, core.run_task(c.run_id, std::move(request)));
    return protocol::CoreResponse(protocol::RunTaskResponse{std::move(events)});
  }
  // Not a command of Core::handle (see DetachedToolCall).
  Result<protocol::CoreResponse> operator()(protocol::CallTool&) {
    return Error("call_tool is answered by engine::DetachedToolCall, not Core::handle");
  }
};

}  // namespace

Result<protocol::CoreResponse> Core::handle(protocol::CoreCommand&& command) {
  return std::visit(Handler{*this}, command);
}

}  // namespace dovek::engine
