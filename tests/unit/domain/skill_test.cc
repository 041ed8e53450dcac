#include "domain/skill.h"
#include "domain/catalog.h"

#include <gtest/gtest.h>

#include <algorithm>

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
  EXPECT_TRUE(c->skills().same_tree(*store->list()));  // a view: no copy of the skills
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

TEST(Catalog, ViewOfTheListingEqualsAFreshBuild) {
  auto store = store::MemoryStore<Skill>::shared();
  std::vector<Skill> saved;
  for (int i = 0; i < 400; ++i) {
    // Ids in no particular order, some saved twice (the last save counts).
    std::string id(1, "aBz\x80"[i % 4]);
    id += std::to_string(i * 7919 % 300);
    saved.push_back(make_skill(id, std::to_string(i)));
    ASSERT_TRUE(store->put(id, saved.back()).ok());
  }
  auto view = Catalog::from_repository(*store);
  ASSERT_TRUE(view.ok());
  EXPECT_TRUE(view->skills().same_tree(*store->list()));
  std::reverse(saved.begin(), saved.end());  // from_skills keeps the first: the last saved
  Catalog built = Catalog::from_skills(saved);
  EXPECT_EQ(view->skills(), built.skills());
  EXPECT_EQ(view->size(), built.size());
  EXPECT_EQ(view->get("a300"), nullptr);
  for (const Skill& s : built.skills()) EXPECT_EQ(*view->get(s.id()), s);

  // Inserting into the view leaves the store's listing alone.
  Catalog copy = *view;
  copy.insert(make_skill("new"));
  EXPECT_NE(copy.get("new"), nullptr);
  EXPECT_EQ(view->get("new"), nullptr);
  EXPECT_FALSE(store->get("new")->has_value());
}

// Whether the store's listing can serve as the catalog follows every write:
// a skill under a foreign key turns the view off until no such record is
// left, and the built catalog is always the one from_skills gives.
TEST(Catalog, ForeignKeysFallBackToABuildUntilTheyAreGone) {
  auto store = store::MemoryStore<Skill>::shared();
  struct Step {
    const char* op;  // "put" or "remove"
    const char* key;
    const char* id;
    bool view;
  };
  const Step steps[] = {
      {"put", "a", "a", true},      {"put", "x", "z", false},        {"put", "z", "z", false},
      {"put", "x", "x", true},      {"put", "y", "a", false},        {"remove", "y", "", true},
      {"put", "b\x80", "b", false}, {"put", "b\x80", "b\x80", true},
  };
  for (const Step& step : steps) {
    if (std::string(step.op) == "put") {
      ASSERT_TRUE(store->put(step.key, make_skill(step.id, step.key)).ok());
    } else {
      ASSERT_TRUE(*store->remove(step.key));
    }
    auto listing = store->list();
    ASSERT_TRUE(listing.ok());
    Catalog c = Catalog::from_snapshot(*listing);
    EXPECT_EQ(c.skills().same_tree(*listing), step.view) << step.op << " " << step.key;
    EXPECT_EQ(c.skills(), Catalog::from_skills(listing->to_vector()).skills()) << step.key;
  }
  ASSERT_TRUE(
      store->replace_all({{"k", make_skill("other")}, {"other", make_skill("other")}}).ok());
  EXPECT_FALSE(Catalog::keyed_by_id(*store->list()));
  EXPECT_EQ(Catalog::from_repository(*store)->size(), 1u);
  ASSERT_TRUE(store->replace_all({{"k", make_skill("other")}, {"k", make_skill("k")}}).ok());
  EXPECT_TRUE(Catalog::keyed_by_id(*store->list()));
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
  Skill a = make_skill("a", "A", Source::kSystem, "d", {"t"}, std::string(1000, 'x'));
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
  EXPECT_EQ(source_label(Source::kExternal), "external");
}

}  // namespace
}  // namespace dovek::skill
