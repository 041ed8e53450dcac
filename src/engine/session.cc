// The chat turn: resolve skills, record the user's message, render the
// prompt as the reply, record the reply.
#include "engine/core.h"

namespace dovek::engine {

Result<std::vector<event::Event>> Core::chat_turn(std::string_view session_id,
                                                  chat::TurnRequest request) {
  DOVEK_ASSIGN_OR_RETURN(skill::Catalog catalog, skill_catalog());
  agent::RunInput input = chat::build_agent_input(catalog, request);
  DOVEK_TRY(chat::append_message(*stores.sessions, session_id,
                                 chat::Message{std::move(request.message), chat::Role::User}));

  agent::RunOutput output = make_exec().dry_run(std::move(input));

  // The reply: the text events' values joined by line feeds.
  std::string reply;
  bool first = true;
  for (const event::Event& e : output.events) {
    if (const auto* text = std::get_if<event::Text>(&e)) {
      if (!first) reply += '\n';
      reply += text->value;
      first = false;
    }
  }
  if (!reply.empty()) {
    DOVEK_TRY(chat::append_message(*stores.sessions, session_id,
                                   chat::Message{std::move(reply), chat::Role::Assistant}));
  }
  return std::move(output.events);
}

}  // namespace dovek::engine
