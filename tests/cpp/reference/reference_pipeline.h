#pragma once

// A plain, slow implementation of what the module's "json" handle makes of a batch of JSON
// texts: parse, normalize shapes against the handle's memory, stamp digests, shred every
// document into rows of atoms, merge the documents' tables into typed columns with the boxing
// policy. It is written from the rules alone, for checking the engine: recursion instead of
// frame stacks, a map per row, one BLAKE3 hasher per digest, no caches, nothing shared with
// src/ but the value types.

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "blake3.h"
#include "shredder/atom_column.h"
#include "shredder/value.h"

namespace shredder::reference {

/// The atoms batch as the engine must produce it: names in registration order, the final
/// kind of each column (which fixes its Arrow type) and its cells.
struct Table {
  std::vector<std::string> names;
  std::vector<Kind> kinds;
  std::vector<std::vector<Atom>> columns;
  std::int64_t rows = 0;
};

// ---- Parsing: the library's parser and the conversion of its values --------------------

inline Value FromLibrary(const nlohmann::json& json) {
  using T = nlohmann::json::value_t;
  switch (json.type()) {
    case T::null: return Value();
    case T::boolean: return Value(json.get<bool>());
    case T::number_integer: return Value(json.get<std::int64_t>());
    // Past the int64 range: the nearest double.
    case T::number_unsigned: {
      const std::uint64_t u = json.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(INT64_MAX)) return Value(static_cast<double>(u));
      return Value(static_cast<std::int64_t>(u));
    }
    case T::number_float: return Value(json.get<double>());
    case T::string: return Value(json.get<std::string>());
    case T::array: {
      Array array;
      for (const auto& element : json) array.push_back(FromLibrary(element));
      return Value(std::move(array));
    }
    case T::object: {
      Object object;
      for (const auto& [key, member] : json.items()) object[key] = FromLibrary(member);
      return Value(std::move(object));
    }
    default: throw std::runtime_error("JSON parse failure: Unsupported JSON value type");
  }
}

inline int Depth(const nlohmann::json& json) {
  int deepest = 0;
  if (json.is_array() || json.is_object()) {
    for (const auto& element : json) deepest = std::max(deepest, Depth(element));
    return deepest + 1;
  }
  return 0;
}

inline Object Parse(const std::string& text) {
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& error) {
    std::string what = error.what();
    // Library releases before 3.11.3 describe an empty input as an unexpected end; the
    // system reports the 3.11.3 text.
    if (error.byte == 1 && what.find("unexpected end of input; expected '[', '{', or a "
                                     "literal") != std::string::npos &&
        what.find("line 1, column 1:") != std::string::npos) {
      what = "[json.exception.parse_error.101] parse error at line 1, column 1: attempting to "
             "parse an empty input; check that your input string or stream contains the "
             "expected JSON";
    }
    throw std::runtime_error("JSON parse failure: " + what);
  } catch (const std::exception& error) {
    throw std::runtime_error(std::string("JSON parse failure: ") + error.what());
  }
  if (!json.is_object()) throw std::runtime_error("JSON parse failure: JSON root is not an object");
  if (Depth(json) > kMaxNestingDepth) {
    throw std::runtime_error("JSON parse failure: nesting depth exceeds the limit of " +
                             std::to_string(kMaxNestingDepth));
  }
  return std::get<Object>(FromLibrary(json).data);
}

// ---- Normalizer: the shape each path has shown -----------------------------------------

enum class Shape { Leaf, Array, Object };

inline const char* ShapeName(Shape shape) {
  switch (shape) {
    case Shape::Leaf: return "leaf";
    case Shape::Array: return "array";
    case Shape::Object: return "object";
  }
  return "unknown";
}

struct ShapeNode {
  std::optional<Shape> shape;
  std::map<std::string, std::unique_ptr<ShapeNode>> children;
  std::unique_ptr<ShapeNode> element;

  ShapeNode& Child(const std::string& key) {
    auto& child = children[key];
    if (!child) child = std::make_unique<ShapeNode>();
    return *child;
  }
  ShapeNode& Element() {
    if (!element) element = std::make_unique<ShapeNode>();
    return *element;
  }

  std::unique_ptr<ShapeNode> Clone() const {
    auto copy = std::make_unique<ShapeNode>();
    copy->shape = shape;
    for (const auto& [key, child] : children) copy->children[key] = child->Clone();
    if (element) copy->element = element->Clone();
    return copy;
  }
};

inline Shape ShapeOf(const Value& value) {
  if (std::holds_alternative<Object>(value.data)) return Shape::Object;
  if (std::holds_alternative<Array>(value.data)) return Shape::Array;
  return Shape::Leaf;
}

[[noreturn]] inline void ShapeMismatch(const std::string& path, Shape have, Shape want) {
  throw std::runtime_error("Normalizer shape mismatch at " + (path.empty() ? "/" : path) +
                           " (have " + ShapeName(have) + ", want " + ShapeName(want) + ")");
}

void Normalize(ShapeNode& node, Value& value, const std::string& path);

inline void NormalizeObject(ShapeNode& node, Object& object, const std::string& path) {
  node.shape = Shape::Object;
  for (auto& [key, member] : object) Normalize(node.Child(key), member, path + "/" + key);
}

inline void NormalizeArray(ShapeNode& node, Array& array, const std::string& path) {
  node.shape = Shape::Array;
  for (Value& element : array) Normalize(node.Element(), element, path);
}

inline void Normalize(ShapeNode& node, Value& value, const std::string& path) {
  if (std::holds_alternative<std::monostate>(value.data)) return;
  const Shape shape = ShapeOf(value);
  if (node.shape == Shape::Array && shape != Shape::Array) {
    Value wrapped(Array{});
    std::get<Array>(wrapped.data).push_back(std::move(value));
    value = std::move(wrapped);
    NormalizeArray(node, std::get<Array>(value.data), path);
    return;
  }
  if (node.shape && shape != Shape::Array && *node.shape != shape) {
    ShapeMismatch(path, shape, *node.shape);
  }
  if (shape == Shape::Array) {
    NormalizeArray(node, std::get<Array>(value.data), path);
  } else if (shape == Shape::Object) {
    NormalizeObject(node, std::get<Object>(value.data), path);
  } else {
    node.shape = Shape::Leaf;
  }
}

// ---- Tagger: BLAKE3 over the canonical encoding, then the stamps ----------------------

inline std::string Hash(const std::string& bytes, std::size_t length = 32) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, bytes.data(), bytes.size());
  std::string out(length, '\0');
  blake3_hasher_finalize(&hasher, reinterpret_cast<std::uint8_t*>(out.data()), length);
  return out;
}

inline void Uleb(std::string& out, std::uint64_t n) {
  do {
    std::uint8_t byte = n & 0x7F;
    n >>= 7;
    if (n != 0) byte |= 0x80;
    out.push_back(static_cast<char>(byte));
  } while (n != 0);
}

inline void Le64(std::string& out, std::uint64_t bits) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
}

inline std::string Digest(const Value& value);

inline std::string ObjectDigest(const Object& object) {
  std::string bytes(1, '\x06');
  std::uint64_t kept = 0;
  std::string members;
  for (const auto& [key, member] : object) {
    if (key == "__txn_id" || key == "__obj_id") continue;
    ++kept;
    Uleb(members, key.size());
    members += key;
    members += Digest(member);
  }
  Uleb(bytes, kept);
  return Hash(bytes + members);
}

inline std::string Digest(const Value& value) {
  std::string bytes(1, static_cast<char>(value.data.index()));
  switch (value.data.index()) {
    case 0: break;
    case 1: bytes.push_back(std::get<bool>(value.data) ? 1 : 0); break;
    case 2: Le64(bytes, static_cast<std::uint64_t>(std::get<std::int64_t>(value.data))); break;
    case 3: {
      std::uint64_t bits;
      const double d = std::get<double>(value.data);
      std::memcpy(&bits, &d, sizeof bits);
      Le64(bytes, bits);
      break;
    }
    case 4: {
      const std::string& text = std::get<std::string>(value.data);
      Uleb(bytes, text.size());
      bytes += text;
      break;
    }
    case 5: {
      const Array& array = std::get<Array>(value.data);
      Uleb(bytes, array.size());
      for (const Value& element : array) bytes += Digest(element);
      break;
    }
    case 6: return ObjectDigest(std::get<Object>(value.data));
  }
  return Hash(bytes);
}

inline std::string Hex(const std::string& bytes) {
  std::string out;
  char pair[3];
  for (unsigned char byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    out += pair;
  }
  return out;
}

void Stamp(Value& value, const std::string& txn_id);

inline void StampObject(Object& object, const std::string& txn_id) {
  const std::string own = Hex(ObjectDigest(object));
  for (auto& [key, member] : object) Stamp(member, txn_id);
  object["__txn_id"] = Value(txn_id);
  object["__obj_id"] = Value(own);
}

inline void Stamp(Value& value, const std::string& txn_id) {
  if (auto* object = std::get_if<Object>(&value.data)) StampObject(*object, txn_id);
  if (auto* array = std::get_if<Array>(&value.data)) {
    for (Value& element : *array) Stamp(element, txn_id);
  }
}

inline void Tag(Object& document) { StampObject(document, Hex(ObjectDigest(document))); }

// ---- Shredding one document into rows ------------------------------------------------

// A cell of a row, with the member that wrote it (its path as the Normalizer writes paths).
struct Cell {
  Atom atom;
  std::string writer;
};

using Row = std::map<std::string, Cell>;

struct DocumentRows {
  std::vector<std::string> headers;
  std::vector<Row> rows{1};

  void Register(const std::string& name) {
    for (const std::string& header : headers) {
      if (header == name) return;
    }
    headers.push_back(name);
  }

  // A cell that another member already filled would lose one of the two values.
  void Write(std::size_t row, const std::string& name, Atom atom, const std::string& writer) {
    auto it = rows[row].find(name);
    if (it != rows[row].end()) {
      throw std::runtime_error("Shredder::Shred: members " + it->second.writer + " and " +
                               writer + " both map to column " + name);
    }
    rows[row][name] = Cell{std::move(atom), writer};
  }
};

inline Atom AtomOf(const Value& value) {
  switch (value.data.index()) {
    case 1: return std::get<bool>(value.data);
    case 2: return std::get<std::int64_t>(value.data);
    case 3: return std::get<double>(value.data);
    case 4: return std::get<std::string>(value.data);
  }
  return std::monostate{};
}

inline bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Names that unshredding would read as something other than the member's value.
inline void CheckReadBack(const std::string& name, const std::string& key, const std::string& member) {
  const char* misread = nullptr;
  if (EndsWith(name, "__idx")) {
    misread = "an array index";
  } else if (EndsWith(name, "___obj_id") && key != "__obj_id") {
    misread = "an object id stamp";
  } else if (EndsWith(name, "___txn_id") && key != "__txn_id") {
    misread = "a transaction id stamp";
  }
  if (misread != nullptr) {
    throw std::runtime_error("Shredder::Shred: member " + member + " maps to column " + name +
                             ", which is read back as " + misread);
  }
}

void ShredMembers(DocumentRows& table, const Object& object, const std::string& name,
                  const std::string& member, std::size_t row);

// The member `key` of an object named `parent` (member path `parent_member`).
inline void ShredMember(DocumentRows& table, const std::string& key, const Value& value,
                        const std::string& parent, const std::string& parent_member,
                        std::size_t row) {
  const std::string member = parent_member + "/" + key;
  if (key.empty()) {
    throw std::runtime_error("Shredder::Shred: member " + member +
                             " has the empty key, so its value would be written under its "
                             "parent's name " + parent);
  }
  const std::string name = parent + "_" + key;
  if (const auto* object = std::get_if<Object>(&value.data)) {
    ShredMembers(table, *object, name, member, row);
    return;
  }
  const auto* array = std::get_if<Array>(&value.data);
  if (array == nullptr) {
    CheckReadBack(name, key, member);
    table.Register(name);
    table.Write(row, name, AtomOf(value), member);
    return;
  }
  if (array->empty()) return;
  // Classes: the kind number, except that objects are 5 and arrays 6.
  auto class_of = [](const Value& v) {
    const std::size_t kind = v.data.index();
    return kind == 5 ? 6 : kind == 6 ? 5 : kind;
  };
  const std::size_t array_class = class_of(array->front());
  for (const Value& element : *array) {
    if (class_of(element) != array_class) {
      throw std::runtime_error("Shredder::Shred: array elements are not homogeneous at " + member);
    }
    if (array_class == 6) {
      throw std::runtime_error("Shredder::Shred: nested arrays are not supported at " + member);
    }
  }
  CheckReadBack(name, key, member);
  const std::string index = name + "__idx";
  table.Register(name);
  table.Register(index);
  if (array_class == 5) {
    // Every element starts from the enclosing row as it stood before element 0 was shredded
    // into it: nothing one element wrote is carried into the next.
    const Row enclosing = table.rows[row];
    std::size_t r = row;
    for (std::size_t k = 0; k < array->size(); ++k) {
      if (k != 0) {
        table.rows.push_back(enclosing);
        r = table.rows.size() - 1;
      }
      table.Write(r, index, static_cast<std::int64_t>(k), member);
      ShredMembers(table, std::get<Object>((*array)[k].data), name, member, r);
    }
    return;
  }
  // Element 0 lives in the enclosing row; every later element in a copy of that row.
  table.Write(row, name, AtomOf(array->front()), member);
  table.Write(row, index, std::int64_t{0}, member);
  for (std::size_t j = 1; j < array->size(); ++j) {
    Row copy = table.rows[row];
    copy[name].atom = AtomOf((*array)[j]);
    copy[index].atom = static_cast<std::int64_t>(j);
    table.rows.push_back(std::move(copy));
  }
}

inline void ShredMembers(DocumentRows& table, const Object& object, const std::string& name,
                         const std::string& member, std::size_t row) {
  for (const auto& [key, value] : object) ShredMember(table, key, value, name, member, row);
}

// The document's table as columns: a column holding a string in any row takes only strings
// and nulls.
inline std::vector<std::vector<Atom>> ShredColumns(const DocumentRows& table) {
  std::vector<std::vector<Atom>> columns;
  for (const std::string& name : table.headers) {
    bool strings = false;
    for (const auto& row : table.rows) {
      auto it = row.find(name);
      if (it != row.end() && std::holds_alternative<std::string>(it->second.atom)) strings = true;
    }
    std::vector<Atom> column;
    for (const auto& row : table.rows) {
      auto it = row.find(name);
      const Atom atom = it == row.end() ? Atom() : it->second.atom;
      if (strings && atom.index() != 0 && atom.index() != 4) {
        throw std::invalid_argument("StringColumn::push: only null or string allowed");
      }
      column.push_back(atom);
    }
    columns.push_back(std::move(column));
  }
  return columns;
}

// ---- Merging documents with the boxing policy ----------------------------------------

inline Kind Resolve(Kind current, Kind incoming) {
  if (incoming == Kind::Null) return current;
  if (current == Kind::Null) return incoming;
  if ((current == Kind::Int64 && incoming == Kind::Double) ||
      (current == Kind::Double && incoming == Kind::Int64)) {
    return Kind::Double;
  }
  if (current == incoming) return current;
  return Kind::String;
}

inline std::string Text(const Atom& atom) {
  switch (atom.index()) {
    case 1: return std::get<bool>(atom) ? "true" : "false";
    case 2: return std::to_string(std::get<std::int64_t>(atom));
    case 3: {
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "%.17g", std::get<double>(atom));
      return buffer;
    }
    case 4: return std::get<std::string>(atom);
  }
  return "null";
}

inline Atom Convert(Kind target, const Atom& atom) {
  if (atom.index() == 0 || target == Kind::Null) return std::monostate{};
  if (target == Kind::Double && atom.index() == 2) {
    return static_cast<double>(std::get<std::int64_t>(atom));
  }
  if (target == Kind::String) return Text(atom);
  return atom;  // bool, int64 and double columns hold only their own kind and nulls
}

/// One handle's worth of reference state: the shapes learned so far. A failed call is all or
/// nothing: it leaves the shapes as they were before it.
class Pipeline {
 public:
  /// The atoms batch of `texts`. On the first failing document, its exception is rethrown,
  /// `failed_row` tells its row, and the shapes learned are those from before the call.
  Table Shred(const std::vector<std::string>& texts) {
    const std::unique_ptr<ShapeNode> before = normalizer_root_->Clone();
    failed_row_ = -1;
    try {
      return ShredRows(texts);
    } catch (...) {
      normalizer_root_ = before->Clone();
      throw;
    }
  }

  std::int64_t failed_row() const { return failed_row_; }

 private:
  Table ShredRows(const std::vector<std::string>& texts) {
    std::map<std::string, std::size_t> position;
    std::vector<std::string> names;
    std::vector<std::optional<Kind>> kinds;
    std::vector<std::vector<Atom>> values;
    std::int64_t total = 0;
    for (const std::string& text : texts) {
      ++failed_row_;
      Object document = Parse(text);
      normalizer_root_->shape = Shape::Object;
      NormalizeObject(*normalizer_root_, document, "");
      Tag(document);
      DocumentRows table;
      ShredMembers(table, document, "root", "", 0);
      // The document's transaction id belongs to every one of its rows, also to the rows of
      // arrays whose keys sort before it.
      auto txn = document.find("__txn_id");
      if (txn != document.end() && txn->second.data.index() <= 4) {
        for (auto& row : table.rows) {
          auto it = row.find("root___txn_id");
          if (it != row.end() && it->second.writer != "/__txn_id") {
            throw std::runtime_error("Shredder::Shred: members " + it->second.writer +
                                     " and /__txn_id both map to column root___txn_id");
          }
          row["root___txn_id"] = Cell{AtomOf(txn->second), "/__txn_id"};
        }
      }
      const std::vector<std::vector<Atom>> columns = ShredColumns(table);
      if (columns.empty() || columns.front().empty()) continue;
      for (std::size_t j = 0; j < table.headers.size(); ++j) {
        const std::string& name = table.headers[j];
        auto [it, added] = position.emplace(name, names.size());
        if (added) {
          names.push_back(name);
          kinds.emplace_back();
          values.emplace_back();
        }
        std::vector<Atom>& column = values[it->second];
        column.resize(static_cast<std::size_t>(total));
        for (const Atom& atom : columns[j]) {
          const Kind kind = static_cast<Kind>(atom.index());
          std::optional<Kind>& recorded = kinds[it->second];
          recorded = recorded ? Resolve(*recorded, kind) : kind;
          column.push_back(atom);
        }
      }
      total += static_cast<std::int64_t>(columns.front().size());
    }
    failed_row_ = -1;  // no row failed; anything after this would fail the whole batch
    Table result;
    result.rows = total;
    for (std::size_t c = 0; c < names.size(); ++c) {
      values[c].resize(static_cast<std::size_t>(total));
      const Kind kind = *kinds[c];
      std::vector<Atom> converted;
      for (const Atom& atom : values[c]) converted.push_back(Convert(kind, atom));
      result.names.push_back(names[c]);
      result.kinds.push_back(kind);
      result.columns.push_back(std::move(converted));
    }
    return result;
  }

  std::unique_ptr<ShapeNode> normalizer_root_ = std::make_unique<ShapeNode>();
  std::int64_t failed_row_ = -1;
};

}  // namespace shredder::reference
