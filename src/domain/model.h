// The selected model: a provider and a model id. Every new core starts with
// Model::create("openai", "gpt-5.5").
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "domain/auth.h"
#include "json/read.h"
#include "json/write.h"

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

// Object or array form; both fields required ("struct Model", 2 elements),
// decoded straight into `model`, a default Model; on error it holds the
// fields read so far.
[[nodiscard]] Status decode_model_into(json::Cursor& c, Model& model);

// {"provider":{"id":"openai"},"id":"gpt-5.5"}
void write_model(json::Writer& w, const Model& m);

}  // namespace dovek::model
