#include "shredder/coerce_policy.h"

#include <charconv>
#include <cstdint>
#include <system_error>
#include <utility>

#include "model/coerce_policy_internal.h"

namespace shredder {
namespace coerce_internal {

char* write_int_text(char* buffer, std::int64_t number) {
  return std::to_chars(buffer, buffer + kNumberTextBuffer, number).ptr;
}

// std::to_chars with a precision is specified as printf's conversion in the "C" locale, so this
// equals "%.17g" (and a stream at precision 17 in the classic locale) without depending on
// the process's locale settings, which the Python host may change.
char* write_double_text(char* buffer, double number) {
  return std::to_chars(buffer, buffer + kNumberTextBuffer, number, std::chars_format::general,
                       17)
      .ptr;
}

}  // namespace coerce_internal

namespace {

using coerce_internal::kNumberTextBuffer;

// What the value converter returns: the atom, or an error text.
using Converted = std::variant<Atom, std::string>;

void append_int(std::string& out, std::int64_t number) {
  char buffer[kNumberTextBuffer];
  out.append(buffer, coerce_internal::write_int_text(buffer, number));
}

void append_double(std::string& out, double number) {
  char buffer[kNumberTextBuffer];
  out.append(buffer, coerce_internal::write_double_text(buffer, number));
}

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

bool coerce_internal::IsBoxToStringPolicy(const CoercePolicy& policy) {
  using Resolver = decltype(&resolve_box_to_string);
  using Converter = decltype(&convert_box_to_string);
  const auto* resolver = policy.kind_resolver.target<Resolver>();
  const auto* converter = policy.value_converter.target<Converter>();
  return resolver != nullptr && *resolver == &resolve_box_to_string && converter != nullptr &&
         *converter == &convert_box_to_string;
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
      append_int(text, std::get<std::int64_t>(value.data));
      break;
    case 3:
      append_double(text, std::get<double>(value.data));
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
  // Recursive by design; the frame holds little beyond the loop state, so twice the document
  // depth limit fits a small stack.
  switch (value.data.index()) {
    case 0:
      out.append("null");
      return;
    case 1:
      out.append(std::get<bool>(value.data) ? "true" : "false");
      return;
    case 2:
      append_int(out, std::get<std::int64_t>(value.data));
      return;
    case 3:
      append_double(out, std::get<double>(value.data));
      return;
    case 4:
      append_quoted(out, std::get<std::string>(value.data));
      return;
    case 5: {
      out.push_back('[');
      bool first = true;
      for (const Value& element : std::get<Array>(value.data)) {
        if (!first) out.push_back(',');
        first = false;
        append_json(out, element);
      }
      out.push_back(']');
      return;
    }
    case 6: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : std::get<Object>(value.data)) {
        if (!first) out.push_back(',');
        first = false;
        append_quoted(out, key);
        out.push_back(':');
        append_json(out, member);
      }
      out.push_back('}');
      return;
    }
    default:
      // A variant emptied by a failed assignment holds nothing to write.
      return;
  }
}

void append_quoted(std::string& out, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte >= 32 && byte != '"' && byte != '\\') continue;
    // Copy the run of bytes that need no escape in one piece.
    out.append(bytes.data() + run_start, i - run_start);
    run_start = i + 1;
    switch (byte) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\r':
        out.append("\\r");
        break;
      default: {
        const char escape[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xf]};
        out.append(escape, sizeof escape);
        break;
      }
    }
  }
  out.append(bytes.data() + run_start, bytes.size() - run_start);
  out.push_back('"');
}

}  // namespace shredder
