#include "domain/chat.h"

#include <optional>
#include <string>
#include <utility>

#include "domain/context.h"

namespace dovek::chat {

agent::RunInput build_agent_input(const skill::Catalog& catalog, TurnRequest request) {
  skill::SkillContext context =
      skill::resolve_context(catalog, request.assigned_skills, request.message);
  return agent::RunInput::with_skill_context(agent::RunInput{std::move(request.message), {}},
                                             std::move(context));
}

Result<std::optional<SessionPage>> SessionRepository::page(std::string_view key,
                                                           PageRange range) const {
  DOVEK_ASSIGN_OR_RETURN(std::optional<Session> found, get(key));
  if (!found) return std::optional<SessionPage>();
  SessionPage out;
  out.total = found->messages.size();
  const auto [from, to] = range.within(out.total);
  out.first = from;
  found->messages = found->messages.slice(from, to);
  out.session = std::move(*found);
  return std::optional<SessionPage>(std::move(out));
}

Status append_message(store::Repository<Session>& sessions, std::string_view session_id,
                      MessageView message) {
  // Works on the session inside the get's result and moves it into the
  // store: a session is a record of ten fields, costly to copy.
  Result<std::optional<Session>> found = sessions.get(session_id);
  if (!found.ok()) return std::move(found).error();
  std::optional<Session>& session = *found;
  if (!session) session = Session::create(std::string(session_id));
  session->push(message);
  return sessions.put(session_id, std::move(*session));
}

}  // namespace dovek::chat
