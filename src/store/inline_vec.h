// InlineVec<E, N>: a vector of at most N elements stored inside the object,
// for the nodes of the persistent map (one allocation per node, not two).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace dovek::store {

// No allocation of its own: N slots live inline.
// Every slot in [0, size) is constructed, also after an element's move
// throws, so the destructor is always safe.
template <class E, size_t N>
class InlineVec {
 public:
  InlineVec() = default;
  InlineVec(const InlineVec&) = delete;
  InlineVec& operator=(const InlineVec&) = delete;
  ~InlineVec() { truncate(0); }

  size_t size() const { return size_; }
  E* begin() { return std::launder(reinterpret_cast<E*>(buf_)); }
  E* end() { return begin() + size_; }
  const E* begin() const { return std::launder(reinterpret_cast<const E*>(buf_)); }
  const E* end() const { return begin() + size_; }
  E& operator[](size_t i) { return begin()[i]; }
  const E& operator[](size_t i) const { return begin()[i]; }
  E& back() { return begin()[size_ - 1]; }

  template <class... A>
  void emplace_back(A&&... args) {
    new (begin() + size_) E(std::forward<A>(args)...);
    ++size_;
  }
  // Inserts at `i`: constructs at the end, then rotates into place.
  template <class... A>
  void emplace(size_t i, A&&... args) {
    emplace_back(std::forward<A>(args)...);
    std::rotate(begin() + i, end() - 1, end());
  }
  void erase(size_t i) {
    std::move(begin() + i + 1, end(), begin() + i);
    truncate(size_ - 1);
  }
  void truncate(size_t n) {
    while (size_ > n) begin()[--size_].~E();
  }
  // Moves elements [from, size) to the end of `to`.
  void move_tail(size_t from, InlineVec& to) {
    for (size_t i = from; i < size_; ++i) to.emplace_back(std::move(begin()[i]));
    truncate(from);
  }

 private:
  alignas(E) unsigned char buf_[N * sizeof(E)];
  uint32_t size_ = 0;
};

}  // namespace dovek::store
