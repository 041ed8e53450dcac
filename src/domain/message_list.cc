#include "domain/message_list.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "base/bytes.h"

namespace dovek::chat {

namespace {

constexpr size_t kFirstChunk = 256;
constexpr size_t kLargestChunk = size_t{64} << 10;

// A packed message: a tag, (literal length << 3 | refers to a prefix << 2 |
// refers to the previous message << 1 | role), then for a prefix its base's
// distance back and the prefix length, then for the previous message its
// distance back, then the literal bytes. Numbers are little-endian base 128.
// Its content is base prefix + literal + previous message.
constexpr uint64_t kRole = 1;
constexpr uint64_t kEndsWithPrevious = 2;
constexpr uint64_t kStartsWithBase = 4;
constexpr int kTagShift = 3;

// A chunk marks, for every kMarkBytes of its bytes, the first message that
// starts there or after, so that reading message i scans at most about that
// many bytes of its chunk, not the whole chunk.
constexpr size_t kMarkBytes = 1024;

// Shorter runs are copied: a reference costs header bytes and a piece to join.
constexpr size_t kMinShared = 32;

size_t number_size(uint64_t n) {
  size_t bytes = 1;
  while (n >= 0x80) {
    n >>= 7;
    ++bytes;
  }
  return bytes;
}

char* put_number(char* out, uint64_t n) {
  while (n >= 0x80) {
    *out++ = static_cast<char>(0x80 | (n & 0x7F));
    n >>= 7;
  }
  *out++ = static_cast<char>(n);
  return out;
}

const char* get_number(const char* in, uint64_t& n) {
  n = 0;
  for (int shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*in++);
    n |= uint64_t{byte & 0x7Fu} << shift;
    if (byte < 0x80) return in;
  }
}

// The decoded header of the packed message at `at` of a chunk's data.
struct Packed {
  uint64_t tag = 0;
  size_t base = 0;          // offset of the base message, when referred to
  size_t prefix = 0;        // bytes of the base's content it starts with
  size_t previous = 0;      // offset of the previous message, when referred to
  std::string_view literal;
  size_t next = 0;          // offset of the message after this one

  Role role() const { return (tag & kRole) ? Role::kAssistant : Role::kUser; }
  bool whole() const { return (tag & (kEndsWithPrevious | kStartsWithBase)) == 0; }
};

Packed unpack(const char* data, size_t at) {
  Packed m;
  const char* p = get_number(data + at, m.tag);
  uint64_t n = 0;
  if (m.tag & kStartsWithBase) {
    p = get_number(p, n);
    m.base = at - n;
    p = get_number(p, n);
    m.prefix = n;
  }
  if (m.tag & kEndsWithPrevious) {
    p = get_number(p, n);
    m.previous = at - n;
  }
  m.literal = {p, static_cast<size_t>(m.tag >> kTagShift)};
  m.next = static_cast<size_t>(p - data) + m.literal.size();
  return m;
}

// The content of a message stored whole.
std::string_view whole_content(const char* data, size_t at) { return unpack(data, at).literal; }

// The pieces a message's content is joined from, in order: the base's
// prefix, the literal, the previous message.
MessageList::Parts parts_of(const char* data, const Packed& m) {
  MessageList::Parts out;
  out.role = m.role();
  // A base has no prefix reference of its own, so its literal starts its
  // content.
  if (m.tag & kStartsWithBase) out.parts[0] = unpack(data, m.base).literal.substr(0, m.prefix);
  out.parts[1] = m.literal;
  if (m.tag & kEndsWithPrevious) out.parts[2] = whole_content(data, m.previous);
  return out;
}

Message read_message(const char* data, const Packed& m) {
  Message out;
  out.role = m.role();
  if (m.whole()) {
    out.content = m.literal;
    return out;
  }
  const MessageList::Parts p = parts_of(data, m);
  out.content.reserve(p.parts[0].size() + p.parts[1].size() + p.parts[2].size());
  for (std::string_view part : p.parts) out.content += part;
  return out;
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
// before this one. After the bytes come the marks: mark k is the offset and
// the index in the chunk of the first message starting at or after
// k * kMarkBytes, written (with release) by whoever appended that message,
// before any list that sees it exists; 0 while not written.
struct MessageList::Chunk {
  std::shared_ptr<Chunk> prev;
  size_t prev_used = 0;
  size_t first = 0;  // the index of its first message: those in prev's view
  size_t capacity = 0;
  size_t mark_count = 0;
  std::atomic<size_t> used{0};

  char* data() { return reinterpret_cast<char*>(this + 1); }
  const char* data() const { return reinterpret_cast<const char*>(this + 1); }
  static size_t marks_at(size_t capacity) {
    constexpr size_t kAlign = alignof(std::atomic<uint64_t>);
    return (sizeof(Chunk) + capacity + kAlign - 1) / kAlign * kAlign;
  }
  std::atomic<uint64_t>* marks() const {
    return reinterpret_cast<std::atomic<uint64_t>*>(reinterpret_cast<uintptr_t>(this) +
                                                    marks_at(capacity));
  }

  // Marks the message at `at`, the `index`th of the chunk, as the first one
  // at or after each mark boundary in (after, at]; `after` is the previous
  // message's offset (none for the first message).
  void mark(size_t after, bool has_after, size_t at, size_t index) {
    const uint64_t value = (uint64_t{at} + 1) << 32 | index;
    for (size_t k = has_after ? after / kMarkBytes + 1 : 0; k <= at / kMarkBytes && k < mark_count;
         ++k) {
      marks()[k].store(value, std::memory_order_release);
    }
  }

  // The offset and index in the chunk of a message at or before index
  // `want`, as near it as the marks tell, in a view of `used` bytes.
  std::pair<size_t, size_t> near(size_t want, size_t used) const {
    auto usable = [&](size_t k, uint64_t& value) {
      value = marks()[k].load(std::memory_order_acquire);
      return value != 0 && (value >> 32) - 1 < used && (value & 0xFFFFFFFFu) <= want;
    };
    size_t lo = 0;  // mark 0 (the first message) is always usable
    size_t hi = std::min(mark_count, (used - 1) / kMarkBytes + 1);
    while (hi - lo > 1) {
      const size_t mid = lo + (hi - lo) / 2;
      uint64_t value = 0;
      if (usable(mid, value)) lo = mid;
      else hi = mid;
    }
    const uint64_t value = marks()[lo].load(std::memory_order_acquire);
    return {static_cast<size_t>((value >> 32) - 1), static_cast<size_t>(value & 0xFFFFFFFFu)};
  }

  static std::shared_ptr<Chunk> create(size_t capacity, std::shared_ptr<Chunk> prev,
                                       size_t prev_used, size_t first) {
    // A chunk larger than kLargestChunk holds one message: it needs mark 0
    // alone.
    const size_t mark_count = std::min(capacity, kLargestChunk) / kMarkBytes + 1;
    const size_t bytes = marks_at(capacity) + mark_count * sizeof(std::atomic<uint64_t>);
    void* memory = ::operator new(bytes);
    prefault(memory, bytes);
    Chunk* chunk = new (memory) Chunk;
    chunk->capacity = capacity;
    chunk->mark_count = mark_count;
    for (size_t k = 0; k < mark_count; ++k) new (&chunk->marks()[k]) std::atomic<uint64_t>(0);
    chunk->prev_used = prev_used;
    chunk->first = first;
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
  const std::string_view content = message.content;
  const uint64_t role = message.role == Role::kAssistant ? kRole : 0;
  // References, only into this list's view of the tail chunk.
  size_t suffix = 0;
  size_t prefix = 0;
  if (last_ != kNone && last_whole_) {
    const std::string_view previous = whole_content(tail_->data(), last_);
    if (previous.size() >= kMinShared && previous.size() <= content.size() &&
        std::memcmp(content.data() + content.size() - previous.size(), previous.data(),
                    previous.size()) == 0) {
      suffix = previous.size();
    }
  }
  const size_t base = base_;
  if (role == kRole && base != kNone) {
    prefix = bytes::common_prefix(content.substr(0, content.size() - suffix),
                                  unpack(tail_->data(), base).literal);
    if (prefix < kMinShared) prefix = 0;
  }
  const size_t at = used_;
  const std::string_view literal = content.substr(prefix, content.size() - prefix - suffix);
  uint64_t tag = (uint64_t{literal.size()} << kTagShift) | role;
  size_t need = literal.size();
  if (prefix != 0) {
    tag |= kStartsWithBase;
    need += number_size(at - base) + number_size(prefix);
  }
  if (suffix != 0) {
    tag |= kEndsWithPrevious;
    need += number_size(at - last_);
  }
  need += number_size(tag);

  // Append in place when this list sees the whole chunk and it has room; the
  // compare-and-swap makes sure only one of several copies does so.
  size_t expected = used_;
  const bool fits = tail_ && used_ + need <= tail_->capacity;
  if (fits && tail_->used.compare_exchange_strong(expected, used_ + need)) {
    char* out = put_number(tail_->data() + at, tag);
    if (prefix != 0) out = put_number(put_number(out, at - base), prefix);
    if (suffix != 0) out = put_number(out, at - last_);
    std::memcpy(out, literal.data(), literal.size());
    tail_->mark(last_, last_ != kNone, at, size_ - tail_->first);
    used_ += need;
  } else {
    // A new chunk, which the message starts whole. A full chunk is followed
    // by a larger one, so a long history needs few chunks; a copy that
    // branches off starts small again.
    tag = (uint64_t{content.size()} << kTagShift) | role;
    need = number_size(tag) + content.size();
    const bool full = tail_ && tail_->used.load() == used_;
    const size_t capacity = full ? std::min(tail_->capacity * 2, kLargestChunk) : kFirstChunk;
    tail_ = Chunk::create(std::max(capacity, need), std::move(tail_), used_, size_);
    tail_->used.store(need, std::memory_order_relaxed);
    char* out = put_number(tail_->data(), tag);
    std::memcpy(out, content.data(), content.size());
    tail_->mark(0, false, 0, 0);
    used_ = need;
    base_ = kNone;
    prefix = suffix = 0;
  }
  last_ = used_ - need;
  last_whole_ = prefix == 0 && suffix == 0;
  if (prefix == 0 && role == kRole) base_ = last_;
  ++size_;
}

void MessageList::visit(size_t from, size_t to, void (*fn)(void*, const Parts&),
                        void* context) const {
  if (to > size_) to = size_;
  if (from >= to) return;
  // Chunks link newest to oldest: gather them back to the one holding
  // message `from`, then read forward.
  std::vector<std::pair<const Chunk*, size_t>> chain;
  size_t used = used_;
  for (const Chunk* chunk = tail_.get(); chunk != nullptr;
       used = chunk->prev_used, chunk = chunk->prev.get()) {
    chain.emplace_back(chunk, used);
    if (chunk->first <= from) break;
  }
  // In the chunk holding message `from`, start at the nearest mark before it.
  const Chunk* oldest = chain.back().first;
  auto [start, in_chunk] = oldest->near(from - oldest->first, chain.back().second);
  size_t index = oldest->first + in_chunk;
  for (auto it = chain.rbegin(); it != chain.rend() && index < to; ++it, start = 0) {
    const char* data = it->first->data();
    for (size_t at = start; at < it->second && index < to; ++index) {
      const Packed m = unpack(data, at);
      if (index >= from) fn(context, parts_of(data, m));
      at = m.next;
    }
  }
}

MessageList MessageList::slice(size_t from, size_t to) const {
  MessageList out;
  std::string joined;
  for_each_in(from, to, [&](const Parts& m) {
    joined.clear();
    for (std::string_view part : m.parts) joined += part;
    out.push_back(MessageView{joined, m.role});
  });
  return out;
}

Message MessageList::back() const {
  return read_message(tail_->data(), unpack(tail_->data(), last_));
}

std::vector<Message> MessageList::to_vector() const {
  std::vector<Message> out;
  out.reserve(size_);
  for_each([&out](const Parts& m) {
    Message& copy = out.emplace_back();
    copy.role = m.role;
    copy.content.reserve(m.parts[0].size() + m.parts[1].size() + m.parts[2].size());
    for (std::string_view part : m.parts) copy.content += part;
  });
  return out;
}

std::optional<std::vector<Message>> MessageList::pushed_since(const MessageList& base) const {
  if (base.size_ > size_) return std::nullopt;
  if (base.tail_ == nullptr) return to_vector();
  // Bytes below a list's view never change, so this list extends base when,
  // walking back, it sees base's newest chunk at least as far as base does.
  // Each chunk holds a message, so the new ones span at most this many.
  const size_t pushed = size_ - base.size_;
  std::vector<std::pair<const Chunk*, size_t>> chain;
  const Chunk* chunk = tail_.get();
  size_t used = used_;
  while (chunk != base.tail_.get()) {
    if (chunk == nullptr || chain.size() > pushed) return std::nullopt;
    chain.emplace_back(chunk, used);
    used = chunk->prev_used;
    chunk = chunk->prev.get();
  }
  if (used < base.used_) return std::nullopt;
  std::vector<Message> out;
  out.reserve(pushed);
  chain.emplace_back(chunk, used);
  size_t from = base.used_;  // where base's view ends: a message boundary
  for (auto it = chain.rbegin(); it != chain.rend(); ++it, from = 0) {
    const char* data = it->first->data();
    for (size_t at = from; at < it->second;) {
      const Packed m = unpack(data, at);
      out.push_back(read_message(data, m));
      at = m.next;
    }
  }
  if (out.size() != pushed) return std::nullopt;
  return out;
}

bool MessageList::operator==(const MessageList& other) const {
  if (size_ != other.size_) return false;
  if (tail_ == other.tail_ && used_ == other.used_) return true;
  return to_vector() == other.to_vector();
}

}  // namespace dovek::chat
