#include "domain/auth.h"

#include <utility>

namespace dovek::auth {
namespace {

template <class T>
Result<T> decode(json::Cursor& c) {
  T out;
  DOVEK_TRY(fields::decode_record(c, out));
  return out;
}

}  // namespace

Result<Provider> decode_provider(json::Cursor& c) { return decode<Provider>(c); }
Result<SecretRef> decode_secret_ref(json::Cursor& c) { return decode<SecretRef>(c); }
Result<Profile> decode_profile(json::Cursor& c) { return decode<Profile>(c); }

Status save_profile(store::Repository<Profile>& repository, Profile profile) {
  std::string id = profile.provider.id;
  return repository.put(id, std::move(profile));
}

}  // namespace dovek::auth
