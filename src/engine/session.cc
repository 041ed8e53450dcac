// The chat turn: resolve skills, record the user's message, render the
// prompt as the reply, record the reply.
#include "engine/core.h"

namespace dovek::engine {

Result<std::vector<event::Event>> Core::chat_turn(std::string_view session_id,
                                                  chat::TurnRequest request) {
  DOVEK_ASSIGN_OR_RETURN(skill::Catalog catalog, skill_catalog());
  // The request's message moves into the input, which records it from there.
  agent::RunInput input = chat::build_agent_input(catalog, std::move(request));
  DOVEK_TRY(chat::append_message(*stores.sessions, session_id,
                                 chat::MessageView{input.message, chat::Role::kUser}));

  DOVEK_TRY(load_model_for_exec());
  agent::RunOutput output = make_exec().dry_run(std::move(input));

  // The reply: the text events' values joined by line feeds. The usual
  // single text is stored straight from its event, without a joined copy.
  const std::string* first = nullptr;
  std::string joined;
  size_t texts = 0;
  for (const event::Event& e : output.events) {
    if (const auto* text = std::get_if<event::Text>(&e)) {
      if (++texts == 1) {
        first = &text->value;
        continue;
      }
      if (texts == 2) joined = *first;
      (joined += '\n') += text->value;
    }
  }
  const std::string_view reply = texts > 1 ? joined : first ? std::string_view(*first) : "";
  if (!reply.empty()) {
    DOVEK_TRY(chat::append_message(*stores.sessions, session_id,
                                   chat::MessageView{reply, chat::Role::kAssistant}));
  }
  return std::move(output.events);
}

}  // namespace dovek::engine
