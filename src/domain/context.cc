#include "domain/context.h"

#include <array>
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

// Calls on_word for each maximal run of non-White_Space characters.
template <class F>
void for_each_word(std::string_view text, F&& on_word) {
  size_t i = 0;
  size_t word_begin = std::string_view::npos;
  while (i < text.size()) {
    const size_t at = i;
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    bool space;
    if (byte < 0x80) {
      space = byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
      ++i;
    } else {
      // Never read past the end, even if a caller broke the valid-UTF-8
      // precondition with a truncated sequence.
      const size_t length = byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
      if (i + length > text.size()) {
        space = false;
        i = text.size();
      } else {
        space = utf8::is_white_space(utf8::next(text, i));
      }
    }
    if (space) {
      if (word_begin != std::string_view::npos) on_word(text.substr(word_begin, at - word_begin));
      word_begin = std::string_view::npos;
    } else if (word_begin == std::string_view::npos) {
      word_begin = at;
    }
  }
  if (word_begin != std::string_view::npos) on_word(text.substr(word_begin));
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
        if (small_[i] == name) return false;
      }
      if (count_ < kLinear) {
        small_[count_++] = name;
        return true;
      }
      set_.insert(small_.begin(), small_.end());
    }
    return set_.insert(name).second;
  }

 private:
  static constexpr size_t kLinear = 16;
  std::array<std::string_view, kLinear> small_;
  size_t count_ = 0;
  std::unordered_set<std::string_view> set_;
};

// Calls on_name for each distinct mention name of `text`, in order of first
// appearance; the names are views into `text`.
template <class F>
void for_each_mention(std::string_view text, F&& on_name) {
  SeenNames seen;
  for_each_word(text, [&](std::string_view word) {
    if (word.front() != '@') return;
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
          SkillIssue{id, "assigned skill is missing: " + id, SkillIssueKind::MissingAssigned});
    }
  }
  for_each_mention(text, [&](std::string_view name) {
    if (const Skill* skill = catalog.get(name)) {
      context.mentioned.push_back(*skill);
    } else {
      std::string message = "unknown mentioned skill: ";
      message += name;
      context.issues.push_back(
          SkillIssue{std::string(name), std::move(message), SkillIssueKind::UnknownMention});
    }
  });
  return context;
}

}  // namespace dovek::skill
