#include "shredder/value.h"

namespace shredder {

Kind kind_of(const Value& value) noexcept {
  if (value.data.valueless_by_exception()) return Kind::Object;
  return static_cast<Kind>(value.data.index());
}

const char* kind_name(Kind kind) noexcept {
  switch (kind) {
    case Kind::Null: return "null";
    case Kind::Bool: return "bool";
    case Kind::Int64: return "int64";
    case Kind::Double: return "double";
    case Kind::String: return "string";
    case Kind::Array: return "array";
    case Kind::Object: return "object";
  }
  return "unknown";
}

}  // namespace shredder
