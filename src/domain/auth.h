// Credential profiles: which secret to use for a model provider. The secret
// itself is only referred to by its key and never resolved by the core.
#pragma once

#include <string>

#include "base/error.h"
#include "domain/fields.h"
#include "json/read.h"
#include "store/repository.h"

namespace dovek::auth {

// A model provider, e.g. "openai".
struct Provider {
  std::string id;

  bool operator==(const Provider&) const = default;
};

// A secret named by the key under which it is kept outside the core.
struct SecretRef {
  std::string key;

  bool operator==(const SecretRef&) const = default;
};

// Stored in the profile repository under a copy of provider.id, so a second
// profile for the same provider replaces the first.
struct Profile {
  Provider provider;
  SecretRef secret;

  bool operator==(const Profile&) const = default;
};

// JSON decoding, object or array form; every field required, none nullable.
// Causes name the records as "struct Provider", "struct SecretRef" and
// "struct Profile".
[[nodiscard]] Result<Provider> decode_provider(json::Cursor& c);
[[nodiscard]] Result<SecretRef> decode_secret_ref(json::Cursor& c);
[[nodiscard]] Result<Profile> decode_profile(json::Cursor& c);

// Stores a profile under a copy of its provider's id (one put); repository
// errors are returned unchanged.
[[nodiscard]] Status save_profile(store::Repository<Profile>& repository, Profile profile);

}  // namespace dovek::auth

namespace dovek::fields {

template <>
struct Table<auth::Provider> {
  static constexpr std::string_view kDescription = "struct Provider";
  using Fields = List<Field<"id", &auth::Provider::id, Text>>;
};

template <>
struct Table<auth::SecretRef> {
  static constexpr std::string_view kDescription = "struct SecretRef";
  using Fields = List<Field<"key", &auth::SecretRef::key, Text>>;
};

template <>
struct Table<auth::Profile> {
  using T = auth::Profile;
  static constexpr std::string_view kDescription = "struct Profile";
  using Fields = List<Field<"provider", &T::provider, Nested, "provider_id">,
                      Field<"secret", &T::secret, Nested, "secret_key">>;
};

}  // namespace dovek::fields
