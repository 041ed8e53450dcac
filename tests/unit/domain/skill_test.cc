#include "domain/skill.h"

#include <gtest/gtest.h>

#include "store/memory_store.h"
#include "test_skills.h"

namespace dovek::skill {
namespace {

using testing_skills::make_skill;

std::vector<std::string> ids(const Catalog& c) {
  std::vector<std::string> out;
  for (const Skill& s : c.skills()) out.push_back(s.id());
  return out;
}

TEST(Catalog, FromSkillsKeepsTheFirstOfRepeatedIds) {
  Catalog c = Catalog::from_skills(
      {make_skill("x", "first"), make_skill("b"), make_skill("x", "second"), make_skill("a")});
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c.get("x")->name(), "first");
  EXPECT_EQ(ids(c), (std::vector<std::string>{"a", "b", "x"}));
}

TEST(Catalog, LookupIsExactBytewise) {
  Catalog c = Catalog::from_skills({make_skill("a"), make_skill("B"), make_skill("ab")});
  EXPECT_EQ(ids(c), (std::vector<std::string>{"B", "a", "ab"}));
  EXPECT_EQ(c.get("a")->id(), "a");
  EXPECT_EQ(c.get("ab")->id(), "ab");
  EXPECT_EQ(c.get("B")->id(), "B");
  EXPECT_EQ(c.get("A"), nullptr);
  EXPECT_EQ(c.get("b"), nullptr);
  EXPECT_EQ(c.get(""), nullptr);
  EXPECT_EQ(c.get("abc"), nullptr);
}

TEST(Catalog, EmptyFindsNothing) {
  Catalog c = Catalog::from_skills({});
  EXPECT_TRUE(c.empty());
  EXPECT_EQ(c.get(""), nullptr);
  EXPECT_EQ(Catalog().get("x"), nullptr);
}

TEST(Catalog, InsertKeepsThePresentEntryAndNeverTouchesSharedLists) {
  Catalog c = Catalog::from_skills({make_skill("m", "one")});
  Catalog copy = c;
  c.insert(make_skill("m", "two"));
  c.insert(make_skill("a"));
  c.insert(make_skill("z"));
  EXPECT_EQ(ids(c), (std::vector<std::string>{"a", "m", "z"}));
  EXPECT_EQ(c.get("m")->name(), "one");
  EXPECT_EQ(ids(copy), std::vector<std::string>{"m"});
}

TEST(Catalog, FromRepositorySharesTheStoreListing) {
  auto store = store::MemoryStore<Skill>::shared();
  ASSERT_TRUE(store->put("w", make_skill("w", "Writer")).ok());
  ASSERT_TRUE(store->put("r", make_skill("r", "Reviewer")).ok());
  auto c = Catalog::from_repository(*store);
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c->list().get(), store->list()->get());  // no copy of the skills
  EXPECT_EQ(c->get("w")->name(), "Writer");

  // Saved after the catalog was built: not visible through it.
  ASSERT_TRUE(store->put("n", make_skill("n")).ok());
  EXPECT_EQ(c->get("n"), nullptr);
  EXPECT_NE(Catalog::from_repository(*store)->get("n"), nullptr);
}

TEST(Catalog, FromSnapshotOfAListNotSortedById) {
  // Keys are not ids: a repository may hold a skill under another key, so
  // the listing is only trusted when it is strictly ascending by id.
  auto store = store::MemoryStore<Skill>::shared();
  ASSERT_TRUE(store->put("1", make_skill("z", "first z")).ok());
  ASSERT_TRUE(store->put("2", make_skill("a")).ok());
  ASSERT_TRUE(store->put("3", make_skill("z", "second z")).ok());
  auto c = Catalog::from_repository(*store);
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(ids(*c), (std::vector<std::string>{"a", "z"}));
  EXPECT_EQ(c->get("z")->name(), "first z");
}

class FailingRepository : public store::Repository<Skill> {
 public:
  Result<std::optional<Skill>> get(std::string_view) const override { return Error("no get"); }
  Result<List> list() const override { return Error("list failed"); }
  Status put(std::string_view, Skill) override { return Error("no put"); }
  Result<bool> remove(std::string_view) override { return Error("no remove"); }
  Status replace_all(std::vector<std::pair<std::string, Skill>>) override {
    return Error("no replace");
  }
};

TEST(Catalog, FromRepositoryPassesTheErrorThrough) {
  FailingRepository repo;
  auto c = Catalog::from_repository(repo);
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error().message(), "list failed");
  EXPECT_EQ(c.error().cause(), nullptr);
  // The default exists() passes get's error through unchanged too.
  EXPECT_EQ(repo.exists("x").error().message(), "no get");
}

TEST(Skill, CopiesShareUntilEdited) {
  Skill a = make_skill("a", "A", Source::System, "d", {"t"}, std::string(1000, 'x'));
  Skill b = a;
  EXPECT_EQ(&a.content(), &b.content());  // one block, not two
  b.edit().name = "B";
  EXPECT_EQ(a.name(), "A");
  EXPECT_EQ(b.name(), "B");
  EXPECT_EQ(b.content(), a.content());
  SkillSummary summary(b);
  b.edit().description = "changed";
  EXPECT_EQ(summary.description(), "d");
  EXPECT_EQ(summary.name(), "B");
  EXPECT_EQ(source_label(Source::External), "external");
}

}  // namespace
}  // namespace dovek::skill
