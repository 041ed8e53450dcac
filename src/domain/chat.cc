#include "domain/chat.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "domain/context.h"

namespace dovek::chat {

namespace {

constexpr size_t kFirstChunk = 256;
constexpr size_t kLargestChunk = size_t{64} << 10;

// Header of a packed message: (length << 1 | role) as a little-endian base-128
// number, one byte up to 63 bytes of content, two up to 8191.
size_t header_size(uint64_t n) {
  size_t bytes = 1;
  while (n >= 0x80) {
    n >>= 7;
    ++bytes;
  }
  return bytes;
}

char* put_header(char* out, uint64_t n) {
  while (n >= 0x80) {
    *out++ = static_cast<char>(0x80 | (n & 0x7F));
    n >>= 7;
  }
  *out++ = static_cast<char>(n);
  return out;
}

const char* get_header(const char* in, uint64_t& n) {
  n = 0;
  for (int shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*in++);
    n |= uint64_t{byte & 0x7Fu} << shift;
    if (byte < 0x80) return in;
  }
}

// Reads the packed message at `p` into `out`; returns where the next starts.
const char* read_message(const char* p, MessageView& out) {
  uint64_t header = 0;
  p = get_header(p, header);
  const size_t length = header >> 1;
  out = MessageView{{p, length}, (header & 1) ? Role::Assistant : Role::User};
  return p + length;
}

// Fresh heap pages fault one at a time on first write, and a fault costs far
// more than filling the page. A large chunk is filled over many turns, so its
// whole pages are mapped in with one call up front; pages already mapped are
// left as they are. Best effort: an older kernel just faults as before.
void prefault(void* memory, size_t size) {
#ifdef MADV_POPULATE_WRITE
  constexpr size_t kWorthIt = size_t{16} << 10;
  if (size < kWorthIt) return;
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(memory) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(memory) + size) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  (void)memory;
  (void)size;
#endif
}

}  // namespace

// A block of packed messages. Bytes [0, used) are written and never change;
// a list may see fewer of them. `prev`/`prev_used` is the view of the chunk
// before this one.
struct MessageList::Chunk {
  std::shared_ptr<Chunk> prev;
  size_t prev_used = 0;
  size_t capacity = 0;
  std::atomic<size_t> used{0};

  char* data() { return reinterpret_cast<char*>(this + 1); }
  const char* data() const { return reinterpret_cast<const char*>(this + 1); }

  static std::shared_ptr<Chunk> create(size_t capacity, std::shared_ptr<Chunk> prev,
                                       size_t prev_used) {
    void* memory = ::operator new(sizeof(Chunk) + capacity);
    prefault(memory, sizeof(Chunk) + capacity);
    Chunk* chunk = new (memory) Chunk;
    chunk->capacity = capacity;
    chunk->prev_used = prev_used;
    chunk->prev = std::move(prev);
    return std::shared_ptr<Chunk>(chunk, ChunkDeleter{});
  }
};

// A use count of one cannot rise behind our back: no other holder exists to
// copy from. A shared predecessor is just released; whoever drops it last
// runs this same loop.
void MessageList::ChunkDeleter::operator()(Chunk* chunk) const {
  std::shared_ptr<Chunk> next = std::move(chunk->prev);
  chunk->~Chunk();
  ::operator delete(chunk);
  while (next && next.use_count() == 1) {
    std::shared_ptr<Chunk> before = std::move(next->prev);
    next = std::move(before);  // frees the old `next`, whose prev is now null
  }
}

void MessageList::push_back(MessageView message) {
  const uint64_t header =
      (uint64_t{message.content.size()} << 1) | (message.role == Role::Assistant ? 1u : 0u);
  const size_t need = header_size(header) + message.content.size();
  // Append in place when this list sees the whole chunk and it has room; the
  // compare-and-swap makes sure only one of several copies does so.
  size_t expected = used_;
  const bool fits = tail_ && used_ + need <= tail_->capacity;
  if (!(fits && tail_->used.compare_exchange_strong(expected, used_ + need))) {
    // A full chunk is followed by a larger one, so a long history needs few
    // chunks; a copy that branches off starts small again.
    const bool full = tail_ && tail_->used.load() == used_;
    const size_t capacity = full ? std::min(tail_->capacity * 2, kLargestChunk) : kFirstChunk;
    tail_ = Chunk::create(std::max(capacity, need), std::move(tail_), used_);
    tail_->used.store(need, std::memory_order_relaxed);
    used_ = 0;
  }
  char* out = put_header(tail_->data() + used_, header);
  std::memcpy(out, message.content.data(), message.content.size());
  used_ += need;
  ++size_;
}

void MessageList::collect(const Chunk* chunk, size_t used, std::vector<MessageView>& out) {
  // Chunks link newest to oldest: gather them first, then read forward.
  std::vector<std::pair<const Chunk*, size_t>> chain;
  for (; chunk != nullptr; used = chunk->prev_used, chunk = chunk->prev.get()) {
    chain.emplace_back(chunk, used);
  }
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    const char* p = it->first->data();
    const char* end = p + it->second;
    while (p < end) p = read_message(p, out.emplace_back());
  }
}

MessageView MessageList::back() const {
  // The newest message is the last one in the tail's view; headers are only
  // readable forwards, so walk that one chunk.
  const char* p = tail_->data();
  const char* end = p + used_;
  MessageView last;
  while (p < end) p = read_message(p, last);
  return last;
}

std::vector<MessageView> MessageList::view() const {
  std::vector<MessageView> out;
  out.reserve(size_);
  collect(tail_.get(), used_, out);
  return out;
}

std::vector<Message> MessageList::to_vector() const {
  std::vector<Message> out;
  out.reserve(size_);
  for (const MessageView& m : view()) out.push_back(Message{std::string(m.content), m.role});
  return out;
}

bool MessageList::operator==(const MessageList& other) const {
  if (size_ != other.size_) return false;
  if (tail_ == other.tail_ && used_ == other.used_) return true;
  return view() == other.view();
}

agent::RunInput build_agent_input(const skill::Catalog& catalog, const TurnRequest& request) {
  agent::RunInput input{request.message, {}};
  return agent::RunInput::with_skill_context(
      std::move(input), skill::resolve_context(catalog, request.assigned_skills, request.message));
}

Status append_message(store::Repository<Session>& sessions, std::string_view session_id,
                      MessageView message) {
  // Works on the session inside the get's result: a session is a record of
  // ten fields, so it is copied once, into the store.
  Result<std::optional<Session>> found = sessions.get(session_id);
  if (!found.ok()) return std::move(found).error();
  std::optional<Session>& session = *found;
  if (!session) session = Session::create(std::string(session_id));
  session->push(message);
  return sessions.put(session_id, *session);
}

}  // namespace dovek::chat
