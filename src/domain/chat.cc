#include "domain/chat.h"

#include <utility>

#include "domain/context.h"

namespace dovek::chat {

// Unlinks the chain iteratively: a history of any length dies without one
// nested destructor call per message, so it cannot overflow the stack. While
// this destructor holds the only reference to a predecessor, it detaches that
// node's own predecessor before letting it go, so the node's destructor finds
// a null `prev`. A use count of one cannot rise behind our back: no other
// holder exists to copy from. A shared predecessor is just released; whoever
// drops it last runs this same loop.
MessageList::Node::~Node() {
  std::shared_ptr<Node> next = std::move(prev);
  while (next && next.use_count() == 1) next = std::move(next->prev);
}

void MessageList::push_back(Message message) {
  const size_t size = this->size() + 1;
  head_ = std::make_shared<Node>(std::move(message), std::move(head_), size);
}

std::vector<const Message*> MessageList::view() const {
  std::vector<const Message*> out(size());
  size_t i = out.size();
  for (const Node* n = head_.get(); n != nullptr; n = n->prev.get()) out[--i] = &n->message;
  return out;
}

std::vector<Message> MessageList::to_vector() const {
  std::vector<Message> out;
  out.reserve(size());
  for (const Message* m : view()) out.push_back(*m);
  return out;
}

bool MessageList::operator==(const MessageList& other) const {
  if (size() != other.size()) return false;
  const Node* a = head_.get();
  const Node* b = other.head_.get();
  // Shared tails are equal without looking further.
  while (a != b) {
    if (!(a->message == b->message)) return false;
    a = a->prev.get();
    b = b->prev.get();
  }
  return true;
}

agent::RunInput build_agent_input(const skill::Catalog& catalog, const TurnRequest& request) {
  agent::RunInput input{request.message, {}};
  return agent::RunInput::with_skill_context(
      std::move(input), skill::resolve_context(catalog, request.assigned_skills, request.message));
}

Result<Session> append_message(store::Repository<Session>& sessions, std::string_view session_id,
                               Message message) {
  DOVEK_ASSIGN_OR_RETURN(std::optional<Session> found, sessions.get(session_id));
  Session session = found ? std::move(*found) : Session::create(std::string(session_id));
  session.push(std::move(message));
  DOVEK_TRY(sessions.put(session_id, session));
  return session;
}

}  // namespace dovek::chat
