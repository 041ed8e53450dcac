// Chat sessions: the stored history of one conversation, and the input of
// one chat turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/error.h"
#include "domain/agent.h"
#include "domain/skill.h"
#include "store/repository.h"

namespace dovek::chat {

enum class Role { User, Assistant };

// A message as given to a MessageList to be copied in.
struct MessageView {
  std::string_view content;
  Role role = Role::User;

  bool operator==(const MessageView&) const = default;
};

struct Message {
  std::string content;
  Role role = Role::User;

  operator MessageView() const { return {content, role}; }  // NOLINT: a view of it
  bool operator==(const Message&) const = default;
};

// An append-only message list that is a persistent structure: copying a list
// costs one reference count, and push_back never copies history, however
// long it is. Copies that push afterwards share the common prefix and each
// sees only its own additions.
//
// Messages are packed back to back into chunks of growing size (up to 64
// KiB), each behind a header of a few bytes (length, role, references). A
// list sees a prefix of its newest chunk; push_back appends in place when
// nobody has appended to that chunk beyond this list's view (the usual get,
// push, put of a stored session), and otherwise starts a new chunk that
// links to its view.
//
// A message need not be stored whole. A chat reply quotes the user message
// just before it and repeats the skill blocks of the reply before it, so a
// message that ends with the whole previous message (stored whole), or a
// reply that starts with a long run of the newest reply stored without such
// a start of its own, refers to those bytes instead of copying them. User
// messages, which seldom repeat one another, are not compared with earlier
// ones. References point only to stored bytes earlier in the same chunk, so
// a message is read back from at most three pieces, never by chasing a
// chain; a chat turn stores little more than the user's message.
//
// Thread safety: const access from many threads is safe, and so are pushes
// to different copies: bytes below any list's view never change, and the
// right to append in place is claimed with one atomic compare-and-swap.
class MessageList {
 public:
  MessageList() = default;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // REQUIRES: !empty().
  Message back() const;

  void push_back(MessageView message);

  // Copies of the messages, oldest first.
  std::vector<Message> to_vector() const;

  // A stored message read in place: its content is parts[0] + parts[1] +
  // parts[2] (some may be empty). The views live as long as the list.
  struct Parts {
    Role role = Role::User;
    std::string_view parts[3];
  };

  // Calls f(const Parts&) for every message, oldest first, without copying
  // any content: the way to read a long history out.
  template <class F>
  void for_each(F&& f) const {
    for_each_in(0, size_, std::forward<F>(f));
  }

  // Calls f(const Parts&) for messages [from, to) (`to` clamped to size()),
  // oldest first. Costs the messages read, plus a step back over each chunk
  // newer than message `from` and a pass over the messages before it in its
  // own chunk from the nearest mark (at most about 1 KiB of them): a page
  // near the end of a long history costs what it does in a short one.
  template <class F>
  void for_each_in(size_t from, size_t to, F&& f) const {
    visit(
        from, to,
        [](void* fn, const Parts& m) { (*static_cast<std::remove_reference_t<F>*>(fn))(m); },
        const_cast<void*>(static_cast<const void*>(&f)));
  }

  // A new list of copies of messages [from, to) (`to` clamped to size()),
  // at the cost of for_each_in.
  MessageList slice(size_t from, size_t to) const;

  // When this list is `base` with messages pushed after it (a copy of base,
  // or of such a list, that pushed), copies of those messages, oldest first;
  // otherwise nullopt. Costs about the pushed messages, not the history: a
  // store that already holds `base` writes only what is new.
  std::optional<std::vector<Message>> pushed_since(const MessageList& base) const;

  bool operator==(const MessageList& other) const;

 private:
  struct Chunk;
  // Frees a chunk and, iteratively, the chain before it that nobody else
  // holds, so a history of any length dies without deep recursion.
  struct ChunkDeleter {
    void operator()(Chunk* chunk) const;
  };
  static constexpr size_t kNone = ~size_t{0};

  // Calls fn(context, message) for messages [from, to), oldest first.
  void visit(size_t from, size_t to, void (*fn)(void*, const Parts&), void* context) const;

  std::shared_ptr<Chunk> tail_;  // newest chunk, or null when empty
  size_t used_ = 0;              // bytes of tail_ this list sees
  size_t size_ = 0;              // messages in the list
  size_t last_ = kNone;          // offset in tail_ of the newest message
  bool last_whole_ = false;      // whether the newest message is stored whole
  size_t base_ = kNone;  // offset in tail_ of the newest reply without a prefix reference
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
