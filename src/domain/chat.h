// Chat sessions: the stored history of one conversation, and the input of
// one chat turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "domain/agent.h"
#include "domain/catalog.h"
#include "domain/fields.h"
#include "domain/message_list.h"
#include "domain/skill.h"
#include "store/repository.h"

namespace dovek::chat {

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
  void push(MessageView message) { messages.push_back(message); }

  bool operator==(const Session&) const = default;
};

// Which messages of a history a page holds: the last `last` of those before
// index `before` (every message, when `before` is past the end).
struct PageRange {
  size_t last = 0;
  size_t before = SIZE_MAX;

  // The indices [from, to) the range picks from a history of `count`.
  std::pair<size_t, size_t> within(size_t count) const {
    const size_t to = before < count ? before : count;
    return {to - (last < to ? last : to), to};
  }
};

// A page of a session's history: the session with only the messages
// [first, first + session.messages.size()) of the `total` it holds.
struct SessionPage {
  Session session;
  size_t first = 0;
  size_t total = 0;
};

// The sessions' repository: a Repository<Session> that also reads a page of
// one session's history without the rest of it.
class SessionRepository : public store::Repository<Session> {
 public:
  // The session under `key` with only the messages `range` picks, where they
  // start and how many it holds; nullopt when there is none. The default
  // takes the session from `get` and copies the page out of it, which costs
  // the page (and the session's attributes) where get shares the history, as
  // the in-memory store does; a database store reads only the page's rows.
  [[nodiscard]] virtual Result<std::optional<SessionPage>> page(std::string_view key,
                                                                PageRange range) const;
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
// context of its assigned ids and the mentions in its message. The message
// moves into the input (pass a copy to keep the request whole).
agent::RunInput build_agent_input(const skill::Catalog& catalog, TurnRequest request);

// Appends (a copy of) `message` to the session stored under `session_id` (a
// new session when there is none): get, push, put of the whole session.
// Repository errors are returned unchanged.
[[nodiscard]] Status append_message(store::Repository<Session>& sessions,
                                    std::string_view session_id, MessageView message);

}  // namespace dovek::chat

namespace dovek::fields {

// Never decoded: sessions are made by the engine.
template <>
struct Table<chat::Session> {
  using T = chat::Session;
  static constexpr std::string_view kDescription = "struct Session";
  using Fields = List<
      Field<"id", &T::id, Text>, Field<"title", &T::title, OptionalText>,
      Field<"agent_id", &T::agent_id, OptionalText>, Field<"model_id", &T::model_id, OptionalText>,
      Field<"provider_id", &T::provider_id, OptionalText>,
      Field<"summary", &T::summary, OptionalText>, Field<"parent_id", &T::parent_id, OptionalText>,
      Field<"created_at", &T::created_at, OptionalText>,
      Field<"updated_at", &T::updated_at, OptionalText>, Field<"messages", &T::messages, History>>;
};

}  // namespace dovek::fields
