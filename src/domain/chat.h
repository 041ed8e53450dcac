// Chat sessions: the stored history of one conversation, and the input of
// one chat turn.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "domain/agent.h"
#include "domain/skill.h"
#include "store/repository.h"

namespace dovek::chat {

enum class Role { User, Assistant };

struct Message {
  std::string content;
  Role role = Role::User;

  bool operator==(const Message&) const = default;
};

// An append-only message list that is a persistent structure: each message
// sits in an immutable node that points to the one before it, so copying a
// list costs one reference count and push_back never copies history, however
// long it is. Copies that push afterwards share the common prefix and each
// sees only its own additions.
// Thread safety: const access from many threads is safe (nodes are immutable).
class MessageList {
 public:
  MessageList() = default;

  size_t size() const { return head_ ? head_->size : 0; }
  bool empty() const { return !head_; }
  // REQUIRES: !empty().
  const Message& back() const { return head_->message; }

  void push_back(Message message);

  // The messages oldest first, as pointers valid while this list lives.
  std::vector<const Message*> view() const;
  // Copies of the messages, oldest first.
  std::vector<Message> to_vector() const;

  bool operator==(const MessageList& other) const;

 private:
  // Never changed after construction, except that its destructor unlinks
  // the chain before it (see chat.cc).
  struct Node {
    Node(Message m, std::shared_ptr<Node> p, size_t n)
        : message(std::move(m)), prev(std::move(p)), size(n) {}
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    ~Node();

    Message message;
    std::shared_ptr<Node> prev;
    size_t size;  // messages up to and including this one
  };

  std::shared_ptr<Node> head_;  // newest message, or null when empty
};

// A conversation, stored in the session repository under its id. The eight
// optional attributes are reserved: the core never sets them, only copies
// them with the session.
struct Session {
  std::string id;
  MessageList messages;
  std::optional<std::string> title;
  std::optional<std::string> agent_id;
  std::optional<std::string> model_id;
  std::optional<std::string> provider_id;
  std::optional<std::string> summary;
  std::optional<std::string> parent_id;
  std::optional<std::string> created_at;
  std::optional<std::string> updated_at;

  // A new session: that id, no messages, every attribute absent.
  static Session create(std::string id) {
    Session s;
    s.id = std::move(id);
    return s;
  }

  // Appends `message` as the newest one; does not copy earlier messages.
  void push(Message message) { messages.push_back(std::move(message)); }

  bool operator==(const Session&) const = default;
};

// The input of one chat turn.
struct TurnRequest {
  std::string message;
  std::vector<std::string> assigned_skills;  // as given, duplicates kept

  explicit TurnRequest(std::string message) : message(std::move(message)) {}

  // Replaces (does not extend) the assigned ids and returns the request.
  static TurnRequest with_assigned_skills(TurnRequest request, std::vector<std::string> ids) {
    request.assigned_skills = std::move(ids);
    return request;
  }
};

// The agent input of a chat turn: the request's message, and the skill
// context of its assigned ids and the mentions in its message.
agent::RunInput build_agent_input(const skill::Catalog& catalog, const TurnRequest& request);

// Appends `message` to the session stored under `session_id` (a new session
// when there is none): get, push, put of the whole session. Repository errors
// are returned unchanged. Returns the session as stored.
[[nodiscard]] Result<Session> append_message(store::Repository<Session>& sessions,
                                             std::string_view session_id, Message message);

}  // namespace dovek::chat
