#include "store/memory_store.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace dovek::store {
namespace {

using Store = std::shared_ptr<Repository<std::string>>;

std::vector<std::string> listed(const Store& store) {
  auto list = store->list();
  EXPECT_TRUE(list.ok());
  return list->to_vector();
}

TEST(MemoryStore, ListsInBytewiseKeyOrder) {
  Store store = MemoryStore<std::string>::shared();
  for (std::string key : {"b", "a", "ab", "B", "", "\xc3\xa9", "~"}) {
    ASSERT_TRUE(store->put(key, "r" + key).ok());
  }
  // Unsigned bytes: "" < "B" < "a" < "ab" < "b" < "~" (0x7e) < "é" (0xc3 0xa9).
  EXPECT_EQ(listed(store),
            (std::vector<std::string>{"r", "rB", "ra", "rab", "rb", "r~", "r\xc3\xa9"}));
}

TEST(MemoryStore, PutReplacesUnderTheSameKey) {
  Store store = MemoryStore<std::string>::shared();
  ASSERT_TRUE(store->put("a", "r1").ok());
  ASSERT_TRUE(store->put("a", "r2").ok());
  EXPECT_EQ(listed(store), std::vector<std::string>{"r2"});
  EXPECT_EQ(store->get("a")->value(), "r2");
}

TEST(MemoryStore, GetIsExactAndEmptyKeyIsAKey) {
  Store store = MemoryStore<std::string>::shared();
  ASSERT_TRUE(store->put("Writer", "w").ok());
  ASSERT_TRUE(store->put("", "empty").ok());
  EXPECT_FALSE(store->get("writer")->has_value());
  EXPECT_FALSE(store->get("Writer ")->has_value());
  EXPECT_EQ(store->get("")->value(), "empty");
  EXPECT_EQ(listed(store), (std::vector<std::string>{"empty", "w"}));
}

TEST(MemoryStore, RemoveAndExists) {
  Store store = MemoryStore<std::string>::shared();
  EXPECT_FALSE(*store->remove("x"));
  EXPECT_FALSE(*store->exists("x"));
  ASSERT_TRUE(store->put("x", "r").ok());
  EXPECT_TRUE(*store->exists("x"));
  EXPECT_TRUE(*store->remove("x"));
  EXPECT_FALSE(*store->exists("x"));
  EXPECT_FALSE(*store->remove("x"));
  EXPECT_TRUE(listed(store).empty());
}

TEST(MemoryStore, ReplaceAllDropsEverythingAndLastPairWins) {
  Store store = MemoryStore<std::string>::shared();
  ASSERT_TRUE(store->put("old", "o").ok());
  std::vector<std::pair<std::string, std::string>> pairs{{"k", "r1"}, {"j", "q"}, {"k", "r2"}};
  ASSERT_TRUE(store->replace_all(std::move(pairs)).ok());
  EXPECT_FALSE(*store->exists("old"));
  EXPECT_EQ(listed(store), (std::vector<std::string>{"q", "r2"}));
  ASSERT_TRUE(store->replace_all({}).ok());
  EXPECT_TRUE(listed(store).empty());
}

TEST(MemoryStore, ListSnapshotIsSharedUntilTheNextWrite) {
  Store store = MemoryStore<std::string>::shared();
  ASSERT_TRUE(store->put("a", "1").ok());
  auto first = *store->list();
  auto again = *store->list();
  EXPECT_TRUE(first.same_tree(again));  // no copy while nothing changed

  ASSERT_TRUE(store->put("b", "2").ok());
  auto after_put = *store->list();
  EXPECT_EQ(first.to_vector(), std::vector<std::string>{"1"});  // old snapshot unchanged
  EXPECT_EQ(after_put.to_vector(), (std::vector<std::string>{"1", "2"}));

  ASSERT_TRUE(store->remove("a").ok());
  EXPECT_EQ(listed(store), std::vector<std::string>{"2"});
  ASSERT_TRUE(store->replace_all({{"z", "9"}}).ok());
  EXPECT_EQ(listed(store), std::vector<std::string>{"9"});
}

// A record type whose move can be made to throw, standing in for running out
// of memory while the store copies a record under its write lock.
struct Fragile {
  static inline bool fail = false;
  int value = 0;
  Fragile() = default;
  explicit Fragile(int v) : value(v) {}
  Fragile(const Fragile& o) : value(o.value) {
    if (fail) throw std::bad_alloc();
  }
  Fragile(Fragile&& o) : value(o.value) {
    if (fail) throw std::bad_alloc();
  }
  Fragile& operator=(const Fragile& o) = default;
  Fragile& operator=(Fragile&& o) {
    if (fail) throw std::bad_alloc();
    value = o.value;
    return *this;
  }
};

TEST(MemoryStore, FailureUnderTheWriteLockPoisonsTheStore) {
  MemoryStore<Fragile> store;
  ASSERT_TRUE(store.put("a", Fragile(1)).ok());
  // The argument is built in place (no move); the store's own move into the
  // map throws.
  Fragile::fail = true;
  EXPECT_THROW((void)store.put("a", Fragile(2)), std::bad_alloc);
  Fragile::fail = false;

  auto expect_fault = [](auto&& operation) {
    try {
      operation();
      ADD_FAILURE() << "expected an internal fault";
    } catch (const InternalFault& fault) {
      EXPECT_STREQ(fault.what(), "memory store lock");
    }
  };
  expect_fault([&] { (void)store.get("a"); });
  expect_fault([&] { (void)store.list(); });
  expect_fault([&] { (void)store.put("b", Fragile(3)); });
  expect_fault([&] { (void)store.remove("a"); });
  expect_fault([&] { (void)store.replace_all({}); });
  expect_fault([&] { (void)store.exists("a"); });
}

TEST(MemoryStore, FailureWhileReadingDoesNotPoison) {
  MemoryStore<Fragile> store;
  ASSERT_TRUE(store.put("a", Fragile(1)).ok());
  Fragile::fail = true;
  EXPECT_THROW((void)store.get("a"), std::bad_alloc);
  Fragile::fail = false;
  EXPECT_EQ(store.get("a")->value().value, 1);
}

TEST(MemoryStore, ConcurrentReadersAndWritersSeeWholeStates) {
  // replace_all swaps between two complete states; a reader must never see
  // a mixture or a partial list.
  Store store = MemoryStore<std::string>::shared();
  std::vector<std::pair<std::string, std::string>> one, two;
  for (int i = 0; i < 50; ++i) {
    // (Appending rather than "k" + to_string: g++ 12 warns falsely there.)
    std::string key = "k";
    key += std::to_string(i);
    one.emplace_back(key, "one");
    two.emplace_back(key, "two");
  }
  ASSERT_TRUE(store->replace_all(one).ok());
  std::thread writer([&] {
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(store->replace_all(i % 2 ? one : two).ok());
  });
  auto read = [&] {
    for (int i = 0; i < 200; ++i) {
      auto list = *store->list();
      ASSERT_EQ(list.size(), 50u);
      for (const std::string& r : list) ASSERT_EQ(r, *list.begin());
    }
  };
  std::thread other_reader(read);
  read();
  other_reader.join();
  writer.join();
}

// ---- the persistent map behind the store ----

using Map = PersistentMap<std::string>;
using Model = std::map<std::string, std::string>;

// "k" followed by the number (appended: g++ 12 warns falsely on "k" + ...).
std::string k(int i) {
  std::string key(1, 'k');
  key += std::to_string(i);
  return key;
}

// Checks every observable of `map` against `model`: size, order, keys,
// records and exact lookups (present keys, and absent neighbours of them).
void expect_same(const Map& map, const Model& model) {
  ASSERT_EQ(map.size(), model.size());
  EXPECT_EQ(map.empty(), model.empty());
  auto it = map.begin();
  for (const auto& [key, value] : model) {
    ASSERT_NE(it, map.end());
    ASSERT_EQ(it.key(), key);
    ASSERT_EQ(*it, value);
    ++it;
    const std::string* found = map.find(key);
    ASSERT_NE(found, nullptr) << key;
    EXPECT_EQ(*found, value);
    if (model.count(key + '\0') == 0) {
      EXPECT_EQ(map.find(key + '\0'), nullptr);
    }
  }
  EXPECT_EQ(it, map.end());
}

TEST(PersistentMap, OrdersByUnsignedBytesWithPrefixesFirst) {
  Map map;
  Model model;
  // Enough keys for several levels, so order holds across nodes too.
  const std::string bytes[] = {"", "a", "ab", "\x7f", "\x80", "\xc3\xa9", "\xff", "A", "\x01"};
  for (const std::string& x : bytes) {
    for (const std::string& y : bytes) {
      for (const std::string& z : {std::string(), std::string("\xfe"), std::string("b")}) {
        map.put(x + y + z, "v" + x + y + z);
        model[x + y + z] = "v" + x + y + z;
      }
    }
  }
  expect_same(map, model);
  EXPECT_EQ(map.find("\x80\x80\x80"), nullptr);
}

TEST(PersistentMap, FromPairsKeepsTheLastOfRepeatedKeys) {
  std::vector<std::pair<std::string, std::string>> pairs;
  Model model;
  for (int i = 0; i < 500; ++i) {
    const std::string key = k(i % 170);
    pairs.emplace_back(key, std::to_string(i));
    model[key] = std::to_string(i);
  }
  Map map = Map::from_pairs(pairs);
  expect_same(map, model);
  // A built tree takes further writes like a grown one.
  for (int i = 0; i < 170; i += 2) {
    EXPECT_TRUE(map.remove(k(i)));
    model.erase(k(i));
  }
  expect_same(map, model);
  expect_same(Map::from_pairs({}), {});
}

TEST(PersistentMap, WritesChangeUnsharedNodesInPlaceAndCopySharedOnes) {
  Map map;
  for (int i = 0; i < 300; ++i) map.put(std::to_string(i), "old");
  // Nobody else holds the tree: an overwrite changes the record in place.
  const std::string* before = map.find("150");
  map.put("150", "new");
  EXPECT_EQ(map.find("150"), before);
  EXPECT_EQ(*before, "new");

  // A copy shares the tree: the write goes to a private path.
  Map snapshot = map;
  EXPECT_TRUE(snapshot.same_tree(map));
  map.put("150", "newer");
  EXPECT_FALSE(snapshot.same_tree(map));
  EXPECT_NE(map.find("150"), snapshot.find("150"));
  EXPECT_EQ(*snapshot.find("150"), "new");
  EXPECT_EQ(*map.find("150"), "newer");

  // Writes through the copy never reach the original either.
  snapshot.put("150", "from the copy");
  EXPECT_TRUE(snapshot.remove("0"));
  EXPECT_EQ(*map.find("150"), "newer");
  EXPECT_NE(map.find("0"), nullptr);

  // Once the copy is gone, the (new) path is unshared again.
  snapshot = Map();
  before = map.find("150");
  map.put("150", "newest");
  EXPECT_EQ(map.find("150"), before);
  EXPECT_FALSE(map.remove("absent"));
  EXPECT_EQ(map.size(), 300u);
}

TEST(PersistentMap, SnapshotsSurviveManyWritesIncludingRemoves) {
  Map map;
  Model model;
  for (int i = 0; i < 2000; ++i) {
    map.put(k(i), std::to_string(i));
    model[k(i)] = std::to_string(i);
  }
  const Map snapshot = map;
  const Model at_snapshot = model;
  // Removing nearly everything merges and collapses nodes; the snapshot's
  // nodes must be copied, never changed.
  for (int i = 0; i < 2000; ++i) {
    if (i % 97 != 0) {
      ASSERT_TRUE(map.remove(k(i)));
      model.erase(k(i));
    }
  }
  for (int i = 0; i < 2000; i += 13) {
    map.put(k(i), "again");
    model[k(i)] = "again";
  }
  expect_same(map, model);
  expect_same(snapshot, at_snapshot);
}

// Random operations on keys from a small alphabet (so puts overwrite and
// removes hit), checked against std::map, with snapshots kept from random
// points and checked again at the end.
TEST(PersistentMap, MatchesStdMapUnderRandomOperations) {
  std::mt19937 rng(20240611);
  auto random_key = [&] {
    static const char kAlphabet[] = {'a', 'b', 'B', '\x80', '\xff'};
    std::string key;
    const int length = static_cast<int>(rng() % 4);
    for (int i = 0; i < length; ++i) key += kAlphabet[rng() % 5];
    return key;
  };
  Map map;
  Model model;
  std::vector<std::pair<Map, Model>> snapshots;
  for (int step = 0; step < 6000; ++step) {
    const uint32_t op = rng() % 100;
    const std::string key = random_key();
    if (op < 55) {
      map.put(key, std::to_string(step));
      model[key] = std::to_string(step);
    } else if (op < 95) {
      EXPECT_EQ(map.remove(key), model.erase(key) == 1);
    } else if (op < 99) {
      snapshots.emplace_back(map, model);
    } else {
      std::vector<std::pair<std::string, std::string>> pairs;
      model.clear();
      for (int i = static_cast<int>(rng() % 120); i > 0; --i) {
        pairs.emplace_back(random_key(), std::to_string(i));
        model[pairs.back().first] = pairs.back().second;
      }
      map = Map::from_pairs(std::move(pairs));
    }
    if (step % 500 == 0) expect_same(map, model);
  }
  expect_same(map, model);
  for (const auto& [snapshot, at_snapshot] : snapshots) expect_same(snapshot, at_snapshot);
}

// A writer adds keys in order and then removes them in order while readers
// list and drop snapshots; every snapshot must be one whole state: a prefix
// of the added keys or a suffix after removal. Nothing waits on time: the
// threads run to completion on their own counts.
TEST(MemoryStore, ConcurrentListsAreWholeStatesWhileAWriterChangesTheTree) {
  constexpr int kKeys = 3000;
  auto key = [](int i) {
    std::string k = std::to_string(i + 100000);  // equal widths: numeric order
    return k;
  };
  Store store = MemoryStore<std::string>::shared();
  std::thread writer([&] {
    for (int i = 0; i < kKeys; ++i) ASSERT_TRUE(store->put(key(i), key(i)).ok());
    for (int i = 0; i < kKeys; ++i) ASSERT_TRUE(*store->remove(key(i)));
  });
  auto read = [&] {
    for (int round = 0; round < 300; ++round) {
      Map list = *store->list();
      if (list.empty()) continue;
      // Contiguous keys from the first one listed, each record its key.
      int expected = std::stoi(list.begin().key()) - 100000;
      for (auto it = list.begin(); it != list.end(); ++it, ++expected) {
        ASSERT_EQ(it.key(), key(expected));
        ASSERT_EQ(*it, it.key());
      }
      ASSERT_TRUE(expected == kKeys || list.begin().key() == key(0));
    }
  };
  std::thread other_reader(read);
  read();
  other_reader.join();
  writer.join();
  EXPECT_TRUE(listed(store).empty());
}

}  // namespace
}  // namespace dovek::store
