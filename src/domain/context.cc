#include "domain/context.h"

#include <unordered_set>

#include "base/utf8.h"

namespace dovek::skill {
namespace {

bool is_kept(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// Kept characters are all ASCII and every byte of a multi-byte character is
// >= 0x80, so stripping byte by byte strips whole characters.
std::string_view strip_to_name(std::string_view s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && !is_kept(static_cast<unsigned char>(s[begin]))) ++begin;
  while (end > begin && !is_kept(static_cast<unsigned char>(s[end - 1]))) --end;
  return s.substr(begin, end - begin);
}

// Whether the character that starts at byte `i` is White_Space; `i` moves
// past it. Never reads past the end, even if a caller broke the valid-UTF-8
// precondition with a truncated sequence (that counts as not White_Space and
// ends the text).
bool space_at(std::string_view text, size_t& i) {
  const unsigned char byte = static_cast<unsigned char>(text[i]);
  if (byte < 0x80) {
    ++i;
    return byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
  }
  const size_t length = byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
  if (i + length > text.size()) {
    i = text.size();
    return false;
  }
  return utf8::is_white_space(utf8::next(text, i));
}

// Whether the character that ends just before byte `at` is White_Space.
// REQUIRES: at > 0.
bool space_before(std::string_view text, size_t at) {
  size_t begin = at - 1;
  while (begin > 0 && at - begin < 4 && (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80) {
    --begin;
  }
  size_t i = begin;
  return space_at(text, i) && i == at;
}

// Calls on_word for each word (maximal run of non-White_Space characters)
// that starts with '@'. Only such words can be mentions, so the scan jumps
// from one '@' to the next instead of decoding every character: an '@' opens
// a word when it starts the text or follows White_Space ('@' is ASCII, so it
// never sits inside a multi-byte character).
template <class F>
void for_each_at_word(std::string_view text, F&& on_word) {
  size_t from = 0;
  while (true) {
    const size_t at = text.find('@', from);
    if (at == std::string_view::npos) return;
    if (at > 0 && !space_before(text, at)) {
      from = at + 1;
      continue;
    }
    size_t end = at + 1;
    for (size_t i = end; i < text.size();) {
      if (space_at(text, i)) break;
      end = i;
    }
    on_word(text.substr(at, end - at));
    from = end;
  }
}

// Remembers names to tell first appearances from repeats. The lists seen in
// practice hold a handful of names, where a linear scan over a fixed array
// beats hashing and allocates nothing; past kLinear names a hash set takes
// over, so a long hostile list stays linear in time overall.
class SeenNames {
 public:
  // True when `name` was not seen before (and remembers it).
  bool insert(std::string_view name) {
    if (set_.empty()) {
      for (size_t i = 0; i < count_; ++i) {
        if (std::string_view(small_[i]) == name) return false;
      }
      if (count_ < kLinear) {
        small_[count_++] = Name{name.data(), name.size()};
        return true;
      }
      for (const Name& seen : small_) set_.insert(seen);
    }
    return set_.insert(name).second;
  }

 private:
  static constexpr size_t kLinear = 16;
  // Left uninitialised (only the first count_ are read): a zeroed array would
  // cost a 256-byte fill on every resolve.
  struct Name {
    const char* data;
    size_t size;
    operator std::string_view() const { return {data, size}; }  // NOLINT: a view
  };
  Name small_[kLinear];
  size_t count_ = 0;
  std::unordered_set<std::string_view> set_;
};

// Calls on_name for each distinct mention name of `text`, in order of first
// appearance; the names are views into `text`.
template <class F>
void for_each_mention(std::string_view text, F&& on_name) {
  SeenNames seen;
  for_each_at_word(text, [&](std::string_view word) {
    std::string_view name = strip_to_name(word.substr(1));
    if (name.empty() || !seen.insert(name)) return;
    on_name(name);
  });
}

}  // namespace

std::vector<std::string> mentions(std::string_view text) {
  std::vector<std::string> names;
  for_each_mention(text, [&](std::string_view name) { names.emplace_back(name); });
  return names;
}

SkillContext resolve_context(const Catalog& catalog, const std::vector<std::string>& assigned,
                             std::string_view text) {
  SkillContext context;
  context.assigned.reserve(assigned.size());
  SeenNames seen_assigned;
  for (const std::string& id : assigned) {
    if (!seen_assigned.insert(id)) continue;
    if (const Skill* skill = catalog.get(id)) {
      context.assigned.emplace_back(*skill);
    } else {
      context.issues.push_back(
          SkillIssue{id, "assigned skill is missing: " + id, SkillIssueKind::kMissingAssigned});
    }
  }
  for_each_mention(text, [&](std::string_view name) {
    if (const Skill* skill = catalog.get(name)) {
      context.mentioned.push_back(*skill);
    } else {
      std::string message = "unknown mentioned skill: ";
      message += name;
      context.issues.push_back(
          SkillIssue{std::string(name), std::move(message), SkillIssueKind::kUnknownMention});
    }
  });
  return context;
}

}  // namespace dovek::skill
