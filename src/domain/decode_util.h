// Small helper shared by the record decoders of this folder.
#pragma once

#include <utility>

#include "base/error.h"

namespace dovek::domain_internal {

// Moves a decoded value into `field`, or passes the decoder's error on.
template <class T>
Status assign(T& field, Result<T> decoded) {
  if (!decoded.ok()) return std::move(decoded).error();
  field = std::move(decoded).value();
  return ok_status();
}

}  // namespace dovek::domain_internal
