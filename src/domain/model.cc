#include "domain/model.h"

#include <string_view>

namespace dovek::model {
namespace {

constexpr std::string_view kModelFields[] = {"provider", "id"};
constexpr json::RecordShape kModelShape{"struct Model", kModelFields, 0b11, 2};

}  // namespace

Status decode_model_into(json::Cursor& c, Model& out) {
  return c.record(kModelShape, [&](size_t i, json::Cursor& f) -> Status {
    if (i == 0) {
      DOVEK_ASSIGN_OR_RETURN(out.provider, auth::decode_provider(f));
    } else {
      DOVEK_TRY(f.string(out.id));
    }
    return ok_status();
  });
}

void write_model(json::Writer& w, const Model& m) {
  w.begin_object();
  w.key(json::kKey<"provider">);
  w.begin_object();
  w.key(json::kKey<"id">);
  w.string(m.provider.id);
  w.end_object();
  w.key(json::kKey<"id">);
  w.string(m.id);
  w.end_object();
}

}  // namespace dovek::model
