// PersistentMap<T>: an ordered map from string key to record whose copies
// share structure, so that a copy (a store's snapshot) costs one reference
// count and a later write to either copy leaves the other unchanged.
//
// A B+-tree of immutable-when-shared nodes: records sit in the leaves, inner
// nodes hold separator keys. A write copies only the nodes on its root-to-leaf
// path that are shared with another copy (O(log n)); nodes owned by this map
// alone (reference count 1) are changed in place, so a map that nobody has
// copied writes without allocating per level. Node counts are intrusive and
// atomic: copies of one map may be used and destroyed on different threads.
//
// Exception safety: reads (find, iteration, size, copies) never throw, except
// std::bad_alloc from to_vector. A write (put, remove) that throws, because an
// allocation failed or copying the key or a record threw, never changes a copy
// of the map: shared nodes are copied before they change, never changed in
// place. The map it was called on stays safe to destroy, assign and copy, but
// what it holds is unspecified (an entry may be in or out, size() may be
// off): discard it. from_pairs and from_sorted that throw leave nothing
// behind. MemoryStore poisons itself on such a throw for that reason.
//
// One header past 500 lines on purpose: a class template, whose nodes,
// copy-on-write paths, bulk builders and iterators all work on the same
// private node types; split, every part would still be a header holding
// them.
#pragma once

#include <algorithm>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "store/inline_vec.h"

namespace dovek::store {

// A record type may mark some entries by a function
// `bool marked_entry(std::string_view key, const T& record)` found by
// argument-dependent lookup; its maps then keep the number of marked entries
// up to date on every write, so that a reader learns in O(1) whether there
// is any (marked() below). The map gives the mark no meaning of its own.
template <class T>
concept MarksEntries = requires(std::string_view key, const T& record) {
  { marked_entry(key, record) } -> std::convertible_to<bool>;
};


// Keys are ordered by unsigned bytes, a prefix first ("B" < "a" < "ab").
//
// Thread safety: a map is a value. Const operations on one map may run on
// many threads; a write needs exclusive access to that map object, but never
// to its copies, which may be read or written concurrently on other threads.
template <class T>
class PersistentMap {
  // Fanout: entries per leaf and children per inner node. A node holds up to
  // kMax + 1 while it is being split.
  static constexpr size_t kMax = 16;
  static constexpr size_t kMin = kMax / 2;
  // Deeper than any tree that fits in memory: each non-root inner node has
  // at least kMin children.
  static constexpr size_t kMaxDepth = 24;

  struct Node {
    explicit Node(bool is_leaf) : leaf(is_leaf) {}
    std::atomic<uint32_t> refs{1};
    const bool leaf;
  };

  // An owning reference to a node.
  class Ref {
   public:
    Ref() = default;
    explicit Ref(Node* n) : n_(n) {}  // adopts the initial count
    Ref(const Ref& o) : n_(o.n_) {
      if (n_ != nullptr) n_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    Ref(Ref&& o) noexcept : n_(std::exchange(o.n_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
      std::swap(n_, o.n_);
      return *this;
    }
    ~Ref() { release(n_); }
    Node* get() const { return n_; }
    Node* operator->() const { return n_; }
    explicit operator bool() const { return n_ != nullptr; }
    // True when nothing else refers to the node; the acquire pairs with the
    // release of other owners' decrements, so their reads happened before
    // our writes.
    bool unique() const { return n_->refs.load(std::memory_order_acquire) == 1; }

   private:
    Node* n_ = nullptr;
  };

  struct Entry {
    Entry(std::string k, T v) : key(std::move(k)), value(std::move(v)) {}
    std::string key;
    T value;
  };

  struct Leaf : Node {
    Leaf() : Node(true) {}
    InlineVec<Entry, kMax + 1> entries;
  };

  // seps[i] separates children[i] (keys < seps[i]) from children[i + 1]
  // (keys >= seps[i]); seps.size() == children.size() - 1.
  struct Inner : Node {
    Inner() : Node(false) {}
    InlineVec<std::string, kMax> seps;
    InlineVec<Ref, kMax + 1> children;
  };

  // Destruction recurses once per level: as deep as the tree, never more.
  static void release(Node* n) {
    if (n == nullptr || n->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (n->leaf) {
      delete static_cast<Leaf*>(n);
    } else {
      delete static_cast<Inner*>(n);
    }
  }

  static Leaf* leaf(Node* n) { return static_cast<Leaf*>(n); }
  static Inner* inner(Node* n) { return static_cast<Inner*>(n); }
  static const Leaf* leaf(const Node* n) { return static_cast<const Leaf*>(n); }
  static const Inner* inner(const Node* n) { return static_cast<const Inner*>(n); }
  static size_t width(const Node* n) {
    return n->leaf ? leaf(n)->entries.size() : inner(n)->children.size();
  }

  // a < b by unsigned bytes, a prefix first: std::string's order. Inline
  // rather than memcmp: keys are short ids that mostly differ within the
  // first bytes, and a search makes a few dozen of these comparisons.
  static bool key_less(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
      const auto x = static_cast<unsigned char>(a[i]);
      const auto y = static_cast<unsigned char>(b[i]);
      if (x != y) return x < y;
    }
    return a.size() < b.size();
  }

  // Index of the first entry whose key is >= key.
  static size_t lower(const Leaf* l, std::string_view key) {
    return std::lower_bound(l->entries.begin(), l->entries.end(), key,
                            [](const Entry& e, std::string_view k) { return key_less(e.key, k); }) -
           l->entries.begin();
  }
  // Index of the child whose range holds key.
  static size_t child_index(const Inner* n, std::string_view key) {
    return std::upper_bound(n->seps.begin(), n->seps.end(), key,
                            [](std::string_view k, const std::string& s) {
                              return key_less(k, s);
                            }) -
           n->seps.begin();
  }

  static bool is_marked(std::string_view key, const T& value) {
    if constexpr (MarksEntries<T>) {
      return static_cast<bool>(marked_entry(key, value));
    } else {
      return false;
    }
  }

 public:
  // Forward iteration in key order, yielding records. Valid while the map it
  // came from (or a copy sharing its nodes) is alive and unchanged.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = const T&;

    const_iterator() = default;
    const T& operator*() const { return leaf_->entries[pos_].value; }
    const T* operator->() const { return &leaf_->entries[pos_].value; }
    const std::string& key() const { return leaf_->entries[pos_].key; }
    const_iterator& operator++() {
      if (++pos_ < leaf_->entries.size()) return *this;
      // Climb to the nearest ancestor with a next child, then descend to its
      // leftmost leaf.
      while (depth_ > 0) {
        auto& [node, index] = path_[depth_ - 1];
        if (++index < node->children.size()) {
          descend(node->children[index].get());
          return *this;
        }
        --depth_;
      }
      leaf_ = nullptr;
      pos_ = 0;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const const_iterator& o) const { return leaf_ == o.leaf_ && pos_ == o.pos_; }

   private:
    friend class PersistentMap;
    explicit const_iterator(const Node* root) {
      if (root != nullptr) descend(root);
    }
    void descend(const Node* n) {
      while (!n->leaf) {
        path_[depth_++] = {inner(n), 0};
        n = inner(n)->children[0].get();
      }
      leaf_ = leaf(n);
      pos_ = 0;
    }

    const Leaf* leaf_ = nullptr;  // nullptr at the end
    size_t pos_ = 0;
    std::pair<const Inner*, size_t> path_[kMaxDepth];
    size_t depth_ = 0;
  };

  PersistentMap() = default;
  PersistentMap(const PersistentMap&) = default;
  PersistentMap& operator=(const PersistentMap&) = default;
  // A moved-from map is empty.
  PersistentMap(PersistentMap&& o) noexcept
      : root_(std::move(o.root_)),
        size_(std::exchange(o.size_, 0)),
        marked_(std::exchange(o.marked_, 0)) {}
  PersistentMap& operator=(PersistentMap&& o) noexcept {
    if (this != &o) {
      root_ = std::move(o.root_);
      size_ = std::exchange(o.size_, 0);
      marked_ = std::exchange(o.marked_, 0);
    }
    return *this;
  }

  // A map of the pairs; of repeated keys the last pair wins.
  static PersistentMap from_pairs(std::vector<std::pair<std::string, T>> pairs) {
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    // Keep the last of each run of equal keys.
    size_t out = 0;
    for (size_t i = 0; i < pairs.size(); ++i) {
      if (i + 1 < pairs.size() && pairs[i + 1].first == pairs[i].first) continue;
      if (out != i) pairs[out] = std::move(pairs[i]);
      ++out;
    }
    pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(out), pairs.end());
    return from_sorted(std::move(pairs));
  }

  // REQUIRES: keys strictly ascending. Builds the tree bottom up in O(n).
  static PersistentMap from_sorted(std::vector<std::pair<std::string, T>> pairs) {
    PersistentMap map;
    if (pairs.empty()) return map;
    std::vector<Ref> level;
    std::vector<std::string> firsts;  // the smallest key under each node of `level`
    const size_t leaves = (pairs.size() + kMax - 1) / kMax;
    size_t next = 0;
    for (size_t i = 0; i < leaves; ++i) {
      // Spread evenly: every leaf gets at least kMin entries when there are
      // several.
      const size_t end = pairs.size() * (i + 1) / leaves;
      Ref node(new Leaf);
      firsts.push_back(pairs[next].first);
      for (; next < end; ++next) {
        map.marked_ += is_marked(pairs[next].first, pairs[next].second);
        leaf(node.get())
            ->entries.emplace_back(std::move(pairs[next].first), std::move(pairs[next].second));
      }
      level.push_back(std::move(node));
    }
    map.size_ = pairs.size();
    while (level.size() > 1) {
      std::vector<Ref> up;
      std::vector<std::string> up_firsts;
      const size_t parents = (level.size() + kMax - 1) / kMax;
      size_t child = 0;
      for (size_t i = 0; i < parents; ++i) {
        const size_t end = level.size() * (i + 1) / parents;
        Ref node(new Inner);
        up_firsts.push_back(firsts[child]);
        for (; child < end; ++child) {
          if (inner(node.get())->children.size() > 0) {
            inner(node.get())->seps.emplace_back(std::move(firsts[child]));
          }
          inner(node.get())->children.emplace_back(std::move(level[child]));
        }
        up.push_back(std::move(node));
      }
      level = std::move(up);
      firsts = std::move(up_firsts);
    }
    map.root_ = std::move(level[0]);
    return map;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The number of marked entries (see MarksEntries); 0 for record types
  // that mark none.
  size_t marked() const { return marked_; }

  // Whether both maps are the same tree (copies of one another with no write
  // since): then they hold the same entries.
  bool same_tree(const PersistentMap& o) const {
    return root_.get() == o.root_.get() && size_ == o.size_;
  }

  // The record under exactly `key`, or nullptr. The pointer is valid while
  // this map is alive and unchanged.
  const T* find(std::string_view key) const {
    const Node* n = root_.get();
    if (n == nullptr) return nullptr;
    while (!n->leaf) n = inner(n)->children[child_index(inner(n), key)].get();
    const Leaf* l = leaf(n);
    const size_t i = lower(l, key);
    if (i == l->entries.size() || l->entries[i].key != key) return nullptr;
    return &l->entries[i].value;
  }

  const_iterator begin() const { return const_iterator(root_.get()); }
  const_iterator end() const { return const_iterator(); }

  // Every record in key order.
  std::vector<T> to_vector() const {
    std::vector<T> out;
    out.reserve(size_);
    for (const T& record : *this) out.push_back(record);
    return out;
  }

  // Stores `value` under `key`, replacing any record there. Takes the value
  // by reference to move it only once, into its entry.
  void put(std::string_view key, T&& value) {
    const bool marked = is_marked(key, value);
    if (!root_) root_ = Ref(new Leaf);
    Put op{key, value, marked};
    std::optional<Split> split = insert(root_, op);
    if (split) {
      Ref top(new Inner);
      inner(top.get())->children.emplace_back(std::move(root_));
      inner(top.get())->seps.emplace_back(std::move(split->sep));
      inner(top.get())->children.emplace_back(std::move(split->right));
      root_ = std::move(top);
    }
    size_ += op.added;
    marked_ += marked;
    marked_ -= op.replaced_marked;
  }

  // Removes the record under `key`; true when there was one. An absent key
  // changes (and copies) nothing.
  bool remove(std::string_view key) {
    const T* found = find(key);
    if (found == nullptr) return false;
    const bool marked = is_marked(key, *found);
    erase(root_, key);
    if (!root_->leaf && inner(root_.get())->children.size() == 1) {
      Ref only = std::move(inner(root_.get())->children[0]);
      root_ = std::move(only);
    } else if (root_->leaf && leaf(root_.get())->entries.size() == 0) {
      root_ = Ref();
    }
    --size_;
    marked_ -= marked;
    return true;
  }

  bool operator==(const PersistentMap& o) const {
    if (size_ != o.size_) return false;
    for (auto a = begin(), b = o.begin(); a != end(); ++a, ++b) {
      if (a.key() != b.key() || !(*a == *b)) return false;
    }
    return true;
  }

 private:
  struct Split {
    std::string sep;
    Ref right;
  };
  struct Put {
    std::string_view key;
    T& value;
    bool marked;
    bool added = false;
    bool replaced_marked = false;
  };

  // The node in `slot`, first replaced by a private copy when shared. A
  // throwing copy leaves `slot` as it was.
  static Node* writable(Ref& slot) {
    if (slot.unique()) return slot.get();
    if (slot->leaf) {
      Ref copy(new Leaf);
      for (const Entry& e : leaf(slot.get())->entries) {
        leaf(copy.get())->entries.emplace_back(e.key, e.value);
      }
      slot = std::move(copy);
    } else {
      Ref copy(new Inner);
      for (const std::string& s : inner(slot.get())->seps) inner(copy.get())->seps.emplace_back(s);
      for (const Ref& c : inner(slot.get())->children) inner(copy.get())->children.emplace_back(c);
      slot = std::move(copy);
    }
    return slot.get();
  }

  static std::optional<Split> insert(Ref& slot, Put& put) {
    Node* n = writable(slot);
    if (n->leaf) {
      Leaf* l = leaf(n);
      const size_t i = lower(l, put.key);
      if (i < l->entries.size() && l->entries[i].key == put.key) {
        put.replaced_marked = is_marked(put.key, l->entries[i].value);
        l->entries[i].value = std::move(put.value);
        return std::nullopt;
      }
      l->entries.emplace(i, std::string(put.key), std::move(put.value));
      put.added = true;
      if (l->entries.size() <= kMax) return std::nullopt;
      Ref right(new Leaf);
      l->entries.move_tail(l->entries.size() / 2, leaf(right.get())->entries);
      std::string sep = leaf(right.get())->entries[0].key;
      return Split{std::move(sep), std::move(right)};
    }
    Inner* in = inner(n);
    const size_t i = child_index(in, put.key);
    std::optional<Split> split = insert(in->children[i], put);
    if (!split) return std::nullopt;
    in->seps.emplace(i, std::move(split->sep));
    in->children.emplace(i + 1, std::move(split->right));
    if (in->children.size() <= kMax) return std::nullopt;
    // children [0, h) stay, seps[h - 1] moves up, the rest goes right.
    const size_t h = in->children.size() / 2;
    Ref right(new Inner);
    in->children.move_tail(h, inner(right.get())->children);
    in->seps.move_tail(h, inner(right.get())->seps);
    std::string sep = std::move(in->seps.back());
    in->seps.truncate(h - 1);
    return Split{std::move(sep), std::move(right)};
  }

  // REQUIRES: `key` is present under `slot`.
  static void erase(Ref& slot, std::string_view key) {
    Node* n = writable(slot);
    if (n->leaf) {
      leaf(n)->entries.erase(lower(leaf(n), key));
      return;
    }
    Inner* in = inner(n);
    const size_t i = child_index(in, key);
    erase(in->children[i], key);
    if (width(in->children[i].get()) < kMin && in->children.size() > 1) rebalance(in, i);
  }

  // children[i] has too few entries: merge it with a neighbour when both fit
  // in one node, else move one entry over from the neighbour.
  static void rebalance(Inner* in, size_t i) {
    const size_t li = i > 0 ? i - 1 : 0;  // the left one of the pair
    Node* l = writable(in->children[li]);
    Node* r = writable(in->children[li + 1]);
    const bool merge = width(l) + width(r) <= kMax;
    if (l->leaf) {
      auto& le = leaf(l)->entries;
      auto& re = leaf(r)->entries;
      if (merge) {
        re.move_tail(0, le);
      } else if (li == i) {  // the left one is short: take the right's first
        le.emplace_back(std::move(re[0]));
        re.erase(0);
        in->seps[li] = re[0].key;
      } else {  // the right one is short: take the left's last
        re.emplace(0, std::move(le.back()));
        le.truncate(le.size() - 1);
        in->seps[li] = re[0].key;
      }
    } else {
      Inner* a = inner(l);
      Inner* b = inner(r);
      if (merge) {
        a->seps.emplace_back(std::move(in->seps[li]));
        b->seps.move_tail(0, a->seps);
        b->children.move_tail(0, a->children);
      } else if (li == i) {
        a->seps.emplace_back(std::move(in->seps[li]));
        a->children.emplace_back(std::move(b->children[0]));
        b->children.erase(0);
        in->seps[li] = std::move(b->seps[0]);
        b->seps.erase(0);
      } else {
        b->children.emplace(0, std::move(a->children.back()));
        a->children.truncate(a->children.size() - 1);
        b->seps.emplace(0, std::move(in->seps[li]));
        in->seps[li] = std::move(a->seps.back());
        a->seps.truncate(a->seps.size() - 1);
      }
    }
    if (merge) {
      in->seps.erase(li);
      in->children.erase(li + 1);
    }
  }

  Ref root_;            // nullptr when empty
  size_t size_ = 0;     // entries
  size_t marked_ = 0;  // entries for which marked_entry() is true
};

}  // namespace dovek::store
