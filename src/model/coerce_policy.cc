#include "shredder/coerce_policy.h"

#include <cstdint>
#include <utility>

#include "shredder/json_writer.h"

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

// The atom alternative `T` built in place (no temporary Atom to move from).
template <typename T, typename... Args>
Converted atom(Args&&... args) {
  return Converted{std::in_place_type<Atom>, std::in_place_type<T>, std::forward<Args>(args)...};
}

Converted error_text(const std::string& name, std::string_view expected) {
  std::string text = "coerce mismatch at ";
  text.append(name).append(expected);
  return Converted{std::in_place_type<std::string>, std::move(text)};
}

Converted convert_box_to_string(Kind target, const Value& value, const std::string& name) {
  if (std::holds_alternative<std::monostate>(value.data)) return atom<std::monostate>();
  switch (target) {
    case Kind::Null:
      return atom<std::monostate>();
    case Kind::Bool:
      if (const bool* b = std::get_if<bool>(&value.data)) return atom<bool>(*b);
      return error_text(name, ": expected bool");
    case Kind::Int64:
      if (const auto* i = std::get_if<std::int64_t>(&value.data)) return atom<std::int64_t>(*i);
      return error_text(name, ": expected int64");
    case Kind::Double:
      if (const double* d = std::get_if<double>(&value.data)) return atom<double>(*d);
      if (const auto* i = std::get_if<std::int64_t>(&value.data)) {
        return atom<double>(static_cast<double>(*i));
      }
      return error_text(name, ": expected double (or int64 upcast)");
    case Kind::String:
    case Kind::Array:
    case Kind::Object:
      return atom<std::string>(value_to_text(value));
  }
  return Converted{std::in_place_type<std::string>, "unknown target type at " + name};
}

}  // namespace

CoercePolicy BoxToStringPolicy() {
  return CoercePolicy{&resolve_box_to_string, &convert_box_to_string};
}

std::string value_to_text(const Value& value) {
  std::string text;
  switch (kind_of(value)) {
    case Kind::Null:
      text = "null";
      break;
    case Kind::Bool:
      text = std::get<bool>(value.data) ? "true" : "false";
      break;
    case Kind::Int64:
      json_writer::AppendInteger(text, std::get<std::int64_t>(value.data));
      break;
    case Kind::Double:
      json_writer::AppendDouble(text, std::get<double>(value.data), json_writer::Dialect::Boxing);
      break;
    case Kind::String:
      text = std::get<std::string>(value.data);
      break;
    case Kind::Array:
    case Kind::Object:
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
