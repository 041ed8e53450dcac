#include "domain/auth.h"

#include <string_view>
#include <utility>

namespace dovek::auth {
namespace {

constexpr std::string_view kProviderFields[] = {"id"};
constexpr json::RecordShape kProviderShape{"struct Provider", kProviderFields, 0b1, 1};

constexpr std::string_view kSecretRefFields[] = {"key"};
constexpr json::RecordShape kSecretRefShape{"struct SecretRef", kSecretRefFields, 0b1, 1};

constexpr std::string_view kProfileFields[] = {"provider", "secret"};
constexpr json::RecordShape kProfileShape{"struct Profile", kProfileFields, 0b11, 2};

}  // namespace

Result<Provider> decode_provider(json::Cursor& c) {
  Provider out;
  DOVEK_TRY(c.record(kProviderShape, [&](size_t, json::Cursor& f) -> Status {
    DOVEK_TRY(f.string(out.id));
    return ok_status();
  }));
  return out;
}

Result<SecretRef> decode_secret_ref(json::Cursor& c) {
  SecretRef out;
  DOVEK_TRY(c.record(kSecretRefShape, [&](size_t, json::Cursor& f) -> Status {
    DOVEK_TRY(f.string(out.key));
    return ok_status();
  }));
  return out;
}

Result<Profile> decode_profile(json::Cursor& c) {
  Profile out;
  DOVEK_TRY(c.record(kProfileShape, [&](size_t i, json::Cursor& f) -> Status {
    if (i == 0) {
      DOVEK_ASSIGN_OR_RETURN(out.provider, decode_provider(f));
    } else {
      DOVEK_ASSIGN_OR_RETURN(out.secret, decode_secret_ref(f));
    }
    return ok_status();
  }));
  return out;
}

Status save_profile(store::Repository<Profile>& repository, Profile profile) {
  std::string id = profile.provider.id;
  return repository.put(id, std::move(profile));
}

}  // namespace dovek::auth
