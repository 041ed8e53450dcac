#include "domain/context.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>

#include "base/utf8.h"

#include "test_skills.h"

namespace dovek::skill {
namespace {

using testing_skills::make_skill;

struct MentionCase {
  std::string text;
  std::vector<std::string> names;
};

class Mentions : public testing::TestWithParam<MentionCase> {};

TEST_P(Mentions, Extracted) { EXPECT_EQ(mentions(GetParam().text), GetParam().names); }

INSTANTIATE_TEST_SUITE_P(
    Table, Mentions,
    testing::Values(
        MentionCase{"Use @writer, then @Writer and @writer.", {"writer", "Writer"}},
        MentionCase{"mail a@b and @@x", {"x"}}, MentionCase{"@ @!! @---", {"---"}},
        MentionCase{"@(review)", {"review"}}, MentionCase{"@a.b/c", {"a.b/c"}},
        MentionCase{"@\xc3\xa9"
                    "crit",
                    {"crit"}},                    // @écrit
        MentionCase{"@caf\xc3\xa9", {"caf"}},                         // @café
        // Curly quotes at the ends are stripped, the "é" between kept letters stays.
        MentionCase{"@\xe2\x80\x9cq\xc3\xa9x\xe2\x80\x9d", {"q\xc3\xa9x"}},
        MentionCase{"@a@b", {"a@b"}}, MentionCase{"@_x_ @x", {"_x_", "x"}}, MentionCase{"", {}},
        MentionCase{" \t\n\r\v\f ", {}},
        MentionCase{"\xc2\xa0\xe3\x80\x80\xe2\x80\xa8", {}},           // only non-ASCII spaces
        MentionCase{"@a\xc2\xa0@b", {"a", "b"}},                       // U+00A0
        MentionCase{"@a\xe3\x80\x80@b", {"a", "b"}},                   // U+3000
        MentionCase{"@a\xc2\x85@b\xe1\x9a\x80@c\xe2\x80\x8a@d\xe2\x80\xaf@e\xe2\x81\x9f@f",
                    {"a", "b", "c", "d", "e", "f"}},  // U+0085 U+1680 U+200A U+202F U+205F
        MentionCase{"@a\xe2\x80\x8b@b", {"a\xe2\x80\x8b@b"}},  // U+200B is not White_Space
        MentionCase{"\n\n@last", {"last"}},
        MentionCase{"@ab\xe3\x80", {"ab"}},  // truncated sequence at the end: no over-read
        MentionCase{"x@y @z", {"z"}}));

// The plain definition, character by character: split at White_Space, keep
// words starting with '@', strip, drop empty and repeated names.
std::vector<std::string> reference_mentions(std::string_view text) {
  std::vector<std::string> words(1);
  for (size_t i = 0; i < text.size();) {
    const size_t at = i;
    if (utf8::is_white_space(utf8::next(text, i))) {
      words.emplace_back();
    } else {
      words.back() += text.substr(at, i - at);
    }
  }
  auto kept = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
  };
  std::vector<std::string> names;
  for (const std::string& w : words) {
    if (w.empty() || w[0] != '@') continue;
    size_t b = 1, e = w.size();
    while (b < e && !kept(w[b])) ++b;
    while (e > b && !kept(w[e - 1])) --e;
    std::string name = w.substr(b, e - b);
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(name);
    }
  }
  return names;
}

TEST(Mentions, AgreeWithTheCharacterByCharacterDefinitionOnRandomTexts) {
  const std::vector<std::string> pieces = {"@",
                                           "@",
                                           "a",
                                           "b",
                                           "-",
                                           "!",
                                           " ",
                                           "\t",
                                           "\n",
                                           "\xc2\xa0",
                                           "\xe3\x80\x80",
                                           "\xe2\x80\xa8",
                                           "\xc3\xa9",
                                           "\xe2\x80\x8b",
                                           "\xf0\x9f\x98\x80"};
  std::mt19937 rng(7);
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    const size_t n = rng() % 12;
    for (size_t k = 0; k < n; ++k) text += pieces[rng() % pieces.size()];
    ASSERT_EQ(mentions(text), reference_mentions(text)) << testing::PrintToString(text);
  }
}

// Catalog holding only `a`: assigned ["a", "b", "a"], text "see @c and @a".
TEST(ResolveContext, OrderOfAssignedMentionedAndIssues) {
  Catalog catalog = Catalog::from_skills({make_skill("a", "A")});
  SkillContext ctx = resolve_context(catalog, {"a", "b", "a"}, "see @c and @a");
  ASSERT_EQ(ctx.assigned.size(), 1u);
  EXPECT_EQ(ctx.assigned[0].id(), "a");
  ASSERT_EQ(ctx.mentioned.size(), 1u);
  EXPECT_EQ(ctx.mentioned[0].id(), "a");
  EXPECT_EQ(ctx.issues, (std::vector<SkillIssue>{
                            {"b", "assigned skill is missing: b", SkillIssueKind::kMissingAssigned},
                            {"c", "unknown mentioned skill: c", SkillIssueKind::kUnknownMention}}));
}

TEST(ResolveContext, AssignedIssuesComeFirstAndEachKindIsDeduplicatedSeparately) {
  Catalog catalog = Catalog::from_skills({make_skill("k")});
  SkillContext ctx = resolve_context(catalog, {"m", "", "k", "m"}, "@z @m @k @z then @m");
  EXPECT_EQ(ctx.assigned.size(), 1u);
  EXPECT_EQ(ctx.mentioned.size(), 1u);
  EXPECT_EQ(ctx.issues, (std::vector<SkillIssue>{
                            {"m", "assigned skill is missing: m", SkillIssueKind::kMissingAssigned},
                            {"", "assigned skill is missing: ", SkillIssueKind::kMissingAssigned},
                            {"z", "unknown mentioned skill: z", SkillIssueKind::kUnknownMention},
                            {"m", "unknown mentioned skill: m", SkillIssueKind::kUnknownMention}}));
}

TEST(ResolveContext, EmptyInputsGiveAnEmptyContext) {
  Catalog catalog = Catalog::from_skills({make_skill("a")});
  EXPECT_EQ(resolve_context(catalog, {}, "no mentions here a"), SkillContext{});
}

TEST(ResolveContext, MentionedSkillIsAFullCopy) {
  Skill w = make_skill("w", "W", Source::kExternal, "d", {"t"}, "body");
  Catalog catalog = Catalog::from_skills({w});
  SkillContext ctx = resolve_context(catalog, {"w"}, "@w");
  ASSERT_EQ(ctx.mentioned.size(), 1u);
  EXPECT_EQ(ctx.mentioned[0], w);
  EXPECT_EQ(ctx.assigned[0], SkillSummary(w));
}

}  // namespace
}  // namespace dovek::skill
