#pragma once

#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "shredder/atom_column.h"
#include "shredder/value.h"

namespace shredder {

/// Settles the kind of a merged column and converts its values to that kind.
struct CoercePolicy {
  /// (current kind, incoming kind, column name) -> new kind, or nothing on a conflict.
  std::function<std::optional<Kind>(Kind, Kind, const std::string&)> kind_resolver;
  /// (target kind, value, column name) -> the converted atom, or an error text.
  std::function<std::variant<Atom, std::string>(Kind, const Value&, const std::string&)>
      value_converter;
};

/// The shipped policy: nulls give way, int64 widens to double, any other disagreement
/// boxes the column into strings (arrays and objects as compact JSON-like text).
CoercePolicy BoxToStringPolicy();

/// Text of one value as the boxing policy writes it (doubles as printf "%.17g").
std::string value_to_text(const Value& value);

/// Appends the compact JSON-like form of `value` to `out`.
void append_json(std::string& out, const Value& value);

/// Appends `bytes` between quotation marks, escaping '"', '\\' and bytes below 32.
void append_quoted(std::string& out, std::string_view bytes);

}  // namespace shredder
