#include "domain/model.h"

namespace dovek::model {

Status decode_model_into(json::Cursor& c, Model& out) { return fields::decode_record(c, out); }

}  // namespace dovek::model
