#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "shredder/json_text.h"
#include "codecs/json_reader_internal.h"
#include "shredder/json_writer.h"
#include "shredder/integer_literals.h"
#include "shredder/serialization.h"
#include "shredder/value.h"

namespace shredder {
namespace {

using Json = nlohmann::json;

constexpr std::string_view kParseFailure = "JSON parse failure: ";
constexpr std::string_view kEmitFailure = "JSON emit failure: ";

[[noreturn]] void ThrowParseError(std::string_view cause, std::int32_t line, std::int32_t column) {
  std::string message(kParseFailure);
  message.append(cause);
  throw JsonParseError(message, line, column);
}

// Receives the parser's events and builds the document directly, without the library's own
// tree. It keeps the library's rules: a repeated key keeps its last value, and every parse
// error is rethrown as the library's own exception. Only the open containers are kept on
// an explicit stack, so no recursion happens here at all.
//
// Past the nesting limit nothing more is built, but the parser still reads to the end so
// that ill-formed text reports the library's own error whatever its depth.
class DocumentBuilder {
 public:
  // With `literals`, the text of every integer beyond the int64 range is recorded there.
  explicit DocumentBuilder(IntegerLiterals* literals = nullptr) : literals_(literals) {
    open_.reserve(16);
  }

  bool null() { return PutScalar(std::monostate{}); }
  bool boolean(bool b) { return PutScalar(b); }
  bool number_integer(Json::number_integer_t i) { return PutScalar(std::int64_t{i}); }
  // Integers above the int64 range become the nearest double, as longer ones already do in
  // the library; their bit pattern would read as another, negative number.
  bool number_unsigned(Json::number_unsigned_t u) {
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      if (literals_ != nullptr && !too_deep_) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, u).ptr;
        Record(std::string_view(digits, static_cast<std::size_t>(end - digits)));
      }
      return PutScalar(static_cast<double>(u));
    }
    return PutScalar(static_cast<std::int64_t>(u));
  }
  bool number_float(Json::number_float_t d, const Json::string_t& text) {
    if (literals_ != nullptr && !too_deep_ && IsIntegerToken(text)) Record(text);
    return PutScalar(double{d});
  }
  bool string(Json::string_t& s) { return PutScalar(std::move(s)); }
  bool string(std::string_view s) {
    if (too_deep_) return true;
    Slot().data.emplace<std::string>(s);
    return true;
  }
  bool binary(Json::binary_t&) {
    throw Error(ErrorCode::InvalidJson, "Unsupported JSON value type");
  }

  bool start_object(std::size_t) { return Open<Object>(); }
  bool key(Json::string_t& key) { return AddMember(std::move(key)); }
  bool key(std::string_view key) { return AddMember(key); }
  bool end_object() { return Close(); }

  bool start_array(std::size_t) { return Open<Array>(); }
  bool end_array() { return Close(); }

  template <class Exception>
  bool parse_error(std::size_t, const std::string&, const Exception& error) {
    throw error;
  }

  Value& root() { return root_; }
  bool too_deep() const { return too_deep_; }

 private:
  template <typename Key>
  bool AddMember(Key&& key) {
    if (too_deep_) return true;
    Object& object = std::get<Object>(open_.back().value->data);
    // Members usually arrive in ascending order; then the hint costs one comparison. A
    // repeated key keeps its slot, and the value that follows replaces the earlier one.
    const std::size_t before = object.size();
    const auto member = object.emplace_hint(object.end(), std::piecewise_construct,
                                            std::forward_as_tuple(std::forward<Key>(key)),
                                            std::forward_as_tuple());
    slot_ = &member->second;
    slot_key_ = &member->first;
    if (literals_ != nullptr) {
      // The value that follows replaces the earlier one, and whatever was recorded in it.
      if (object.size() == before && !literals_->empty()) {
        if (IntegerLiterals* here = Walk(open_.size(), /*create=*/false)) {
          here->erase_member(*slot_key_);
        }
      }
    }
    return true;
  }

  // Places a scalar where the innermost open container expects it, built in its place
  // rather than moved there from a temporary value.
  template <typename Scalar>
  bool PutScalar(Scalar&& scalar) {
    if (too_deep_) return true;
    Slot().data.emplace<std::decay_t<Scalar>>(std::forward<Scalar>(scalar));
    return true;
  }

  // The value the innermost open container expects next, made empty, or the root.
  // Addresses of open containers stay valid: only the innermost container ever grows.
  Value& Slot() {
    if (array_ != nullptr) return array_->emplace_back();
    return open_.empty() ? root_ : *slot_;
  }

  template <typename Container>
  bool Open() {
    if (too_deep_) return true;
    if (open_.size() >= static_cast<std::size_t>(kMaxNestingDepth)) {
      too_deep_ = true;
      return true;
    }
    const std::string* key = array_ == nullptr ? slot_key_ : nullptr;
    Value* placed = &Slot();
    placed->data.emplace<Container>();
    open_.push_back(OpenContainer{placed, key});
    array_ = std::get_if<Array>(&placed->data);
    return true;
  }

  bool Close() {
    if (too_deep_) return true;
    open_.pop_back();
    array_ = open_.empty() ? nullptr : std::get_if<Array>(&open_.back().value->data);
    return true;
  }

  // The node of `literals_` for the open container at `depth` (1 is the root), created
  // on the way when `create`; null when absent and not created.
  IntegerLiterals* Walk(std::size_t depth, bool create) {
    IntegerLiterals* node = literals_;
    for (std::size_t level = 1; node != nullptr && level < depth; ++level) {
      // The parent's last element, or the member under the key it was opened at.
      if (const auto* array = std::get_if<Array>(&open_[level - 1].value->data)) {
        const std::size_t index = array->size() - 1;
        node = create ? &node->add_element(index) : node->element(index);
      } else {
        const std::string& key = *open_[level].key;
        node = create ? &node->add_member(key) : node->member(key);
      }
    }
    return node;
  }

  // Records `text` for the value about to be placed.
  void Record(std::string_view text) {
    if (open_.empty()) return;  // a root that is not an object is refused anyway
    IntegerLiterals* node = Walk(open_.size(), /*create=*/true);
    IntegerLiterals& place =
        array_ != nullptr ? node->add_element(array_->size()) : node->add_member(*slot_key_);
    place.set_text(text);
  }

  IntegerLiterals* const literals_;
  // An open container, and the key it is a member at (null in an array and at the root).
  struct OpenContainer {
    Value* value;
    const std::string* key;
  };

  Value root_;
  std::vector<OpenContainer> open_;  // open containers, outermost first
  Array* array_ = nullptr;    // the innermost open container when it is an array
  Value* slot_ = nullptr;     // the member named by the last key of the innermost object
  const std::string* slot_key_ = nullptr;  // that key
  bool too_deep_ = false;     // a container opened past kMaxNestingDepth; building stopped
};

// The library's text for a parse error. Releases before 3.11.3 describe an input that ends
// before its first byte (empty, or a NUL byte first) as an unexpected end of input; 3.11.3
// gives it its own text, which is the one reported here whichever release is built in.
std::string_view LibraryParseErrorText(const Json::parse_error& error) {
#if NLOHMANN_JSON_VERSION_MAJOR == 3 && NLOHMANN_JSON_VERSION_MINOR == 11 && \
    NLOHMANN_JSON_VERSION_PATCH < 3
  constexpr std::string_view kOldEmptyInput =
      "[json.exception.parse_error.101] parse error at line 1, column 1: syntax error while "
      "parsing value - unexpected end of input; expected '[', '{', or a literal";
  constexpr std::string_view kEmptyInput =
      "[json.exception.parse_error.101] parse error at line 1, column 1: attempting to parse an "
      "empty input; check that your input string or stream contains the expected JSON";
  if (error.byte == 1 && error.what() == kOldEmptyInput) return kEmptyInput;
#endif
  return error.what();
}

// 1-based line and column of the byte the parser stopped at (`byte` is its 1-based index).
void PositionOf(std::string_view text, std::size_t byte, std::int32_t& line,
                std::int32_t& column) {
  line = -1;
  column = -1;
  if (byte == 0) return;
  const std::size_t scanned = std::min(text.size(), byte - 1);
  std::int64_t l = 1;
  std::int64_t c = 1;
  for (std::size_t i = 0; i < scanned; ++i) {
    if (text[i] == '\n') {
      ++l;
      c = 1;
    } else {
      ++c;
    }
  }
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  line = static_cast<std::int32_t>(std::min(l, kMax));
  column = static_cast<std::int32_t>(std::min(c, kMax));
}

}  // namespace

Object JsonSerialization::ToDomWithLiterals(std::string_view text,
                                            IntegerLiterals* literals) const {
  // Well-formed documents take the fast reader. Whatever it declines goes through the
  // library's parser, whose outcome and error texts are the reference.
  if (literals != nullptr && !literals->empty()) *literals = IntegerLiterals();
  try {
    DocumentBuilder builder(literals);
    if (json_text::FastJsonReader<DocumentBuilder>(text, builder).Read(kMaxNestingDepth)) {
      return std::move(std::get<Object>(builder.root().data));
    }
  } catch (const std::exception&) {
    // Left to the library's parser below, which reports it in its own terms.
  }
  if (literals != nullptr && !literals->empty()) *literals = IntegerLiterals();
  DocumentBuilder builder(literals);
  try {
    Json::sax_parse(text.data(), text.data() + text.size(), &builder,
                    nlohmann::detail::input_format_t::json, /*strict=*/true,
                    /*ignore_comments=*/false);
  } catch (const Json::parse_error& error) {
    std::int32_t line;
    std::int32_t column;
    PositionOf(text, error.byte, line, column);
    ThrowParseError(LibraryParseErrorText(error), line, column);
  } catch (const std::exception& error) {
    ThrowParseError(error.what(), -1, -1);
  }
  Object* root = std::get_if<Object>(&builder.root().data);
  if (root == nullptr) ThrowParseError("JSON root is not an object", -1, -1);
  if (builder.too_deep()) {
    ThrowParseError("nesting depth exceeds the limit of " + std::to_string(kMaxNestingDepth),
                    -1, -1);
  }
  return std::move(*root);
}

Object JsonSerialization::ToDom(std::string_view text) const {
  return ToDomWithLiterals(text, nullptr);
}

std::string JsonSerialization::FromDom(const Object& document) const {
  std::string text;
  json_text::AppendJsonText(document, text);
  return text;
}

std::unique_ptr<Serialization> MakeSerialization(SerializationFormat format) {
  if (format != SerializationFormat::Json) {
    throw Error(ErrorCode::BadArgument, "Unsupported SerializationFormat (YAML removed)");
  }
  return std::make_unique<JsonSerialization>();
}

namespace json_text {

void AppendJsonText(const Object& document, std::string& out) {
  try {
    json_writer::Writer<json_writer::Dialect::Json>(out).WriteObject(document);
  } catch (const std::exception& error) {
    ThrowEmitFailure(error);
  }
}

void AppendJsonText(const Object& document, const IntegerLiterals& literals,
                    std::string& out) {
  try {
    json_writer::Writer<json_writer::Dialect::Json>(out).WriteObject(document, literals);
  } catch (const std::exception& error) {
    ThrowEmitFailure(error);
  }
}

void ThrowEmitFailure(const std::exception& error) {
  std::string message(kEmitFailure);
  message.append(error.what());
  // Documents are written when they are rebuilt: what cannot be written came from the atoms.
  const auto* known = dynamic_cast<const Error*>(&error);
  throw Error(known != nullptr ? known->code() : ErrorCode::BadAtoms, std::move(message));
}

}  // namespace json_text
}  // namespace shredder
