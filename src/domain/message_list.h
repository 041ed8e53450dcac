// The messages of a chat session: a message and its role, and MessageList,
// the append-only list a session holds its history in.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace dovek::chat {

enum class Role { kUser, kAssistant };

// A message as given to a MessageList to be copied in.
struct MessageView {
  std::string_view content;
  Role role = Role::kUser;

  bool operator==(const MessageView&) const = default;
};

struct Message {
  std::string content;
  Role role = Role::kUser;

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
    Role role = Role::kUser;
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

}  // namespace dovek::chat
