#include <bit>
#include <stdexcept>
#include <variant>

#include "modifiers/tagger_internal.h"
#include "shredder/error.h"

namespace shredder::tagger_internal {

std::size_t write_varint(std::uint8_t* out, std::uint64_t n) {
  std::size_t length = 0;
  while (n >= 0x80) {
    out[length++] = static_cast<std::uint8_t>(n | 0x80);
    n >>= 7;
  }
  out[length++] = static_cast<std::uint8_t>(n);
  return length;
}

std::size_t varint_length(std::uint64_t n) {
  std::size_t length = 1;
  for (; n >= 0x80; n >>= 7) ++length;
  return length;
}

void append_varint(std::string& out, std::uint64_t n) {
  std::uint8_t bytes[kMaxVarintBytes];
  out.append(reinterpret_cast<const char*>(bytes), write_varint(bytes, n));
}

namespace {

// Little-endian whatever the host order is.
void write_le64(std::uint8_t* out, std::uint64_t bits) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

}  // namespace

std::size_t write_scalar_head(const Value& value, std::uint8_t* head) {
  const ValueData& data = value.data;
  if (data.valueless_by_exception()) {
    throw Error(ErrorCode::Internal, "Tagger: unknown ValueData alternative");
  }
  const Kind kind = kind_of(value);
  head[0] = static_cast<std::uint8_t>(kind);
  switch (kind) {
    case Kind::Null: return 1;
    case Kind::Bool: head[1] = std::get<bool>(data) ? 1 : 0; return 2;
    case Kind::Int64:
      write_le64(head + 1, static_cast<std::uint64_t>(std::get<std::int64_t>(data)));
      return 9;
    case Kind::Double:
      write_le64(head + 1, std::bit_cast<std::uint64_t>(std::get<double>(data)));
      return 9;
    case Kind::String: return 1 + write_varint(head + 1, std::get<std::string>(data).size());
    case Kind::Array:
    case Kind::Object:
      break;
  }
  throw Error(ErrorCode::Internal, "write_scalar_head: not a scalar");
}

void append_scalar_encoding(std::string& out, const Value& value) {
  std::uint8_t head[kMaxScalarHeadBytes];
  out.append(reinterpret_cast<const char*>(head), write_scalar_head(value, head));
  if (const auto* text = std::get_if<std::string>(&value.data)) out.append(*text);
}

}  // namespace shredder::tagger_internal
