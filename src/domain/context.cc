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

}  // namespace

std::vector<std::string> mentions(std::string_view text) {
  std::vector<std::string> names;
  std::unordered_set<std::string_view> seen;  // views into `text`
  for_each_word(text, [&](std::string_view word) {
    if (word.front() != '@') return;
    std::string_view name = strip_to_name(word.substr(1));
    if (name.empty() || !seen.insert(name).second) return;
    names.emplace_back(name);
  });
  return names;
}

SkillContext resolve_context(const Catalog& catalog, const std::vector<std::string>& assigned,
                             std::string_view text) {
  SkillContext context;
  std::unordered_set<std::string_view> seen_assigned;
  for (const std::string& id : assigned) {
    if (!seen_assigned.insert(id).second) continue;
    if (const Skill* skill = catalog.get(id)) {
      context.assigned.emplace_back(*skill);
    } else {
      context.issues.push_back(
          SkillIssue{id, "assigned skill is missing: " + id, SkillIssueKind::MissingAssigned});
    }
  }
  // mentions() already yields each name once.
  for (std::string& name : mentions(text)) {
    if (const Skill* skill = catalog.get(name)) {
      context.mentioned.push_back(*skill);
    } else {
      std::string message = "unknown mentioned skill: " + name;
      context.issues.push_back(
          SkillIssue{std::move(name), std::move(message), SkillIssueKind::UnknownMention});
    }
  }
  return context;
}

}  // namespace dovek::skill
