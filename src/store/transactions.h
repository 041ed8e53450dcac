// Transactions: the seam that makes the repository calls of one command a
// single atomic unit on a store that is shared beyond one core (a database).
// In-memory cores have none; their repositories are changed call by call.
#pragma once

#include "base/error.h"

namespace dovek::store {

// What a command will do with the repositories: a writer takes the store's
// write lock at its start, so two writers never deadlock on an upgrade.
enum class Access { kRead, kWrite };

// Thread safety: one transaction at a time per object; the caller serialises
// (a core's lock).
class Transactions {
 public:
  virtual ~Transactions() = default;

  // Starts a transaction. Every repository call until commit() or rollback()
  // belongs to it. Fails (and starts nothing) when the store cannot be had,
  // e.g. because another process holds it past the store's busy timeout.
  [[nodiscard]] virtual Status begin(Access access) = 0;

  // Makes every write since begin() durable and visible to others at once.
  // On failure the transaction is rolled back: nothing of it stays.
  [[nodiscard]] virtual Status commit() = 0;

  // Discards every write since begin(). Never fails; safe to call when no
  // transaction is open.
  virtual void rollback() noexcept = 0;
};

// Rolls back in its destructor unless commit() succeeded: a failed step or an
// exception leaves the store as it was before begin().
class TransactionGuard {
 public:
  explicit TransactionGuard(Transactions& tx) : tx_(&tx) {}
  TransactionGuard(const TransactionGuard&) = delete;
  TransactionGuard& operator=(const TransactionGuard&) = delete;
  ~TransactionGuard() {
    if (tx_ != nullptr) tx_->rollback();
  }

  [[nodiscard]] Status commit() {
    Transactions* tx = tx_;
    tx_ = nullptr;  // a failed commit has rolled back already
    return tx->commit();
  }

 private:
  Transactions* tx_;
};

}  // namespace dovek::store
