// The selected model: a provider and a model id. Every new core starts with
// default_model().
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "domain/auth.h"
#include "domain/fields.h"
#include "json/read.h"

namespace dovek::model {

struct Model {
  auth::Provider provider;
  std::string id;

  // The constructor operation `Model::new` (`new` is reserved in C++): a
  // model whose provider has id `provider_id`, both texts copied.
  static Model create(std::string_view provider_id, std::string_view model_id) {
    return Model{auth::Provider{std::string(provider_id)}, std::string(model_id)};
  }

  bool operator==(const Model&) const = default;
};

// The model every new core starts with, and that a new database holds:
// openai's gpt-5.5.
inline constexpr std::string_view kDefaultProvider = "openai";
inline constexpr std::string_view kDefaultId = "gpt-5.5";
inline Model default_model() { return Model::create(kDefaultProvider, kDefaultId); }

// The key under which a model repository holds the selected model, its only
// record.
inline constexpr std::string_view kSelectedKey = "selected";

// Object or array form; both fields required ("struct Model", 2 elements),
// decoded straight into `model`, a default Model; on error it holds the
// fields read so far.
[[nodiscard]] Status decode_model_into(json::Cursor& c, Model& model);

}  // namespace dovek::model

namespace dovek::fields {

template <>
struct Table<model::Model> {
  using T = model::Model;
  static constexpr std::string_view kDescription = "struct Model";
  using Fields = List<Field<"provider", &T::provider, Nested, "provider_id">,
                      Field<"id", &T::id, Text, "model_id">>;
};

}  // namespace dovek::fields
