// InternalFault: the exception that marks a broken invariant.
//
// Domain failures are Result values; an InternalFault means the operation
// cannot go on at all (for instance a store whose lock holder failed midway).
// It is never caught inside the core: the Python binding catches it at the
// boundary, raises its dedicated exception and poisons the core.
#pragma once

#include <stdexcept>

namespace dovek {

class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace dovek
