#include "shredder/coerce_policy.h"

#include <cstdint>
#include <utility>

#include "codecs/json_writer.h"

namespace shredder {
namespace {

// What the value converter returns: the atom, or an error text.
using Converted = std::variant<Atom, std::string>;

std::optional<Kind> resolve_box_to_string(Kind current, Kind incoming, const std::string&) {
  if (incoming == Kind::Null) return current;
  if (current == Kind::Null) return incoming;
  if ((current == Kind::Int64 && incoming == Kind::Double) ||
      (current == Kind::Double && incoming == Kind::Int64)) {
    return Kind::Double;
  }
  if (current == incoming) return current;
  return Kind::String;
}

// The atom alternative `index` built in place (no temporary Atom to move from).
template <std::size_t index, typename... Args>
Converted atom(Args&&... args) {
  return Converted{std::in_place_index<0>, std::in_place_index<index>,
                   std::forward<Args>(args)...};
}

Converted error_text(const std::string& name, std::string_view expected) {
  std::string text = "coerce mismatch at ";
  text.append(name).append(expected);
  return Converted{std::in_place_index<1>, std::move(text)};
}

Converted convert_box_to_string(Kind target, const Value& value, const std::string& name) {
  if (std::holds_alternative<std::monostate>(value.data)) return atom<0>();
  switch (target) {
    case Kind::Null:
      return atom<0>();
    case Kind::Bool:
      if (const bool* b = std::get_if<bool>(&value.data)) return atom<1>(*b);
      return error_text(name, ": expected bool");
    case Kind::Int64:
      if (const auto* i = std::get_if<std::int64_t>(&value.data)) return atom<2>(*i);
      return error_text(name, ": expected int64");
    case Kind::Double:
      if (const double* d = std::get_if<double>(&value.data)) return atom<3>(*d);
      if (const auto* i = std::get_if<std::int64_t>(&value.data)) {
        return atom<3>(static_cast<double>(*i));
      }
      return error_text(name, ": expected double (or int64 upcast)");
    case Kind::String:
    case Kind::Array:
    case Kind::Object:
      return atom<4>(value_to_text(value));
  }
  return Converted{std::in_place_index<1>, "unknown target type at " + name};
}

}  // namespace

CoercePolicy BoxToStringPolicy() {
  return CoercePolicy{&resolve_box_to_string, &convert_box_to_string};
}

std::string value_to_text(const Value& value) {
  std::string text;
  switch (value.data.index()) {
    case 0:
      text = "null";
      break;
    case 1:
      text = std::get<bool>(value.data) ? "true" : "false";
      break;
    case 2:
      json_writer::AppendInteger(text, std::get<std::int64_t>(value.data));
      break;
    case 3:
      json_writer::AppendDouble(text, std::get<double>(value.data), json_writer::Dialect::Boxing);
      break;
    case 4:
      text = std::get<std::string>(value.data);
      break;
    default:
      text.reserve(256);
      append_json(text, value);
      break;
  }
  return text;
}

void append_json(std::string& out, const Value& value) {
  json_writer::Writer<json_writer::Dialect::Boxing>(out).Write(json_writer::ValueNode(value));
}

void append_quoted(std::string& out, std::string_view bytes) {
  json_writer::AppendQuoted(out, bytes, json_writer::Dialect::Boxing);
}

}  // namespace shredder
