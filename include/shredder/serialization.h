#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "shredder/integer_literals.h"
#include "shredder/error.h"
#include "shredder/value.h"

namespace shredder {

/// Text formats of documents; only JSON exists.
enum class SerializationFormat : std::uint8_t { Json = 0 };

/// Thrown when JSON text cannot be read into a document. `what()` starts with
/// "JSON parse failure: "; `line` and `column` are 1-based, or -1 when unknown.
class JsonParseError : public Error {
 public:
  JsonParseError(const std::string& message, std::int32_t line, std::int32_t column)
      : Error(ErrorCode::InvalidJson, message), line(line), column(column) {}
  std::int32_t line;
  std::int32_t column;
};

/// Converts between one document and its text.
class Serialization {
 public:
  virtual ~Serialization() = default;
  /// Parses one complete text whose root is an object. Throws JsonParseError.
  virtual Object ToDom(std::string_view text) const = 0;
  /// Writes one document. Throws `Error` "JSON emit failure: ...".
  virtual std::string FromDom(const Object& document) const = 0;
};

/// JSON text through nlohmann/json; stateless.
class JsonSerialization final : public Serialization {
 public:
  Object ToDom(std::string_view text) const override;
  /// `ToDom`, and with `literals` (not null) the original text of each integer beyond the
  /// int64 range recorded there (replacing what it held); the document holds the nearest
  /// double at each.
  Object ToDomWithLiterals(std::string_view text, IntegerLiterals* literals) const;
  std::string FromDom(const Object& document) const override;
};

/// A new serialization for `format`. Throws `Error`
/// "Unsupported SerializationFormat (YAML removed)" for anything but Json.
std::unique_ptr<Serialization> MakeSerialization(SerializationFormat format);

}  // namespace shredder
