#include "codecs/arrow_dom_reader.h"
#include "shredder/error.h"

#include <arrow/array/data.h>
#include <arrow/array/util.h>
#include <arrow/array/array_base.h>
#include <arrow/buffer.h>
#include <arrow/type.h>
#include <arrow/util/bit_util.h>

#include <cstdint>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace shredder::arrow_dom {
namespace {

constexpr std::uint32_t kShadowed = std::numeric_limits<std::uint32_t>::max();

// What a reader does with a present cell, decided once from the array's type.
enum class Op : std::uint8_t {
  Null,  // the null type: every cell is null
  Bool,
  Int8,
  Int16,
  Int32,
  Int64,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  Float,
  Double,
  Utf8,
  LargeUtf8,
  List,
  LargeList,
  Struct,
  Unsupported,  // any other type: a present cell is refused
  TooDeep,      // a list or struct below the nesting limit: a present cell is refused
};

[[noreturn]] [[gnu::noinline]] void throw_unsupported(const arrow::DataType& type) {
  throw Error(ErrorCode::UnsupportedInput,
              "ArrowDomCodec: unsupported Arrow type: " + type.ToString());
}

[[noreturn]] [[gnu::noinline]] void throw_too_deep() {
  throw Error(ErrorCode::UnsupportedInput,
              "ArrowDomCodec: nesting depth exceeds " + std::to_string(kMaxNestingDepth));
}

Op op_of(arrow::Type::type id) {
  switch (id) {
    case arrow::Type::NA: return Op::Null;
    case arrow::Type::BOOL: return Op::Bool;
    case arrow::Type::INT8: return Op::Int8;
    case arrow::Type::INT16: return Op::Int16;
    case arrow::Type::INT32: return Op::Int32;
    case arrow::Type::INT64: return Op::Int64;
    case arrow::Type::UINT8: return Op::UInt8;
    case arrow::Type::UINT16: return Op::UInt16;
    case arrow::Type::UINT32: return Op::UInt32;
    case arrow::Type::UINT64: return Op::UInt64;
    case arrow::Type::FLOAT: return Op::Float;
    case arrow::Type::DOUBLE: return Op::Double;
    case arrow::Type::STRING: return Op::Utf8;
    case arrow::Type::LARGE_STRING: return Op::LargeUtf8;
    case arrow::Type::LIST: return Op::List;
    case arrow::Type::LARGE_LIST: return Op::LargeList;
    case arrow::Type::STRUCT: return Op::Struct;
    default: return Op::Unsupported;
  }
}

// Types without a validity bitmap whose null test Arrow derives from their children or runs.
bool has_derived_nulls(arrow::Type::type id) {
  return id == arrow::Type::SPARSE_UNION || id == arrow::Type::DENSE_UNION ||
         id == arrow::Type::RUN_END_ENCODED;
}

const std::uint8_t* buffer_address(const arrow::ArrayData& data, std::size_t index) {
  if (data.buffers.size() <= index || !data.buffers[index]) return nullptr;
  return data.buffers[index]->data();
}

}  // namespace

struct ArrayReader::Node {
  Op op = Op::Null;
  // Without a validity bitmap: Arrow reports every cell null when the array's null count
  // equals its length (slicing, as a struct's field accessor does, keeps that so).
  bool all_null = false;
  bool derived_nulls = false;  // unions and run-end encoded arrays: Arrow's own null test
  bool in_order = false;       // struct: every field fills the next member of the template
  const std::uint8_t* validity = nullptr;
  // Cell i lies at position shift + i of the buffers: the array's own offset, plus the
  // offset of the struct it is a field of, as the field accessor slices it.
  std::int64_t shift = 0;
  const std::uint8_t* values = nullptr;  // values; offsets for strings and lists
  const char* chars = nullptr;           // strings: the characters
  std::uint32_t first = 0;               // struct: its fields in children_ and slots_
  std::uint32_t count = 0;               // ... how many
  std::uint32_t child = 0;               // list: the elements' node
  std::uint32_t template_index = 0;      // struct: its entry in templates_
  const arrow::ArrayData* data = nullptr;
};

// Builds the nodes of one reader, depth first, in the order the cells are read.
class Compiler {
 public:
  explicit Compiler(ArrayReader& reader) : reader_(reader) {}

  // The nodes of `data` and below it; returns the index of its node. Recursion reaches no
  // further than one level past the nesting limit.
  std::uint32_t add(const arrow::ArrayData& data, std::int64_t shift, int depth) {
    const auto index = static_cast<std::uint32_t>(reader_.nodes_.size());
    reader_.nodes_.push_back(leaf(data, shift, depth));
    switch (reader_.nodes_[index].op) {
      case Op::List:
      case Op::LargeList:
        add_list(index, data, depth);
        break;
      case Op::Struct:
        add_struct(index, data, shift, depth);
        break;
      default:
        break;
    }
    return index;
  }

 private:
  [[gnu::noinline]] static ArrayReader::Node leaf(const arrow::ArrayData& data,
                                                  std::int64_t shift, int depth) {
    ArrayReader::Node node;
    const arrow::Type::type id = data.type->id();
    node.op = op_of(id);
    if ((node.op == Op::List || node.op == Op::LargeList || node.op == Op::Struct) &&
        depth > kMaxNestingDepth) {
      node.op = Op::TooDeep;
    }
    node.data = &data;
    node.shift = shift;
    node.validity = id == arrow::Type::NA ? nullptr : buffer_address(data, 0);
    node.derived_nulls = node.validity == nullptr && has_derived_nulls(id);
    node.all_null = id == arrow::Type::NA || data.null_count.load() == data.length;
    switch (node.op) {
      case Op::Bool:
      case Op::Int8:
      case Op::Int16:
      case Op::Int32:
      case Op::Int64:
      case Op::UInt8:
      case Op::UInt16:
      case Op::UInt32:
      case Op::UInt64:
      case Op::Float:
      case Op::Double:
      case Op::List:
      case Op::LargeList:
        node.values = buffer_address(data, 1);
        break;
      case Op::Utf8:
      case Op::LargeUtf8:
        node.values = buffer_address(data, 1);
        node.chars = reinterpret_cast<const char*>(buffer_address(data, 2));
        break;
      default:
        break;
    }
    return node;
  }

  [[gnu::noinline]] void add_list(std::uint32_t index, const arrow::ArrayData& data, int depth) {
    // The elements are read from the whole child array, at the positions the offsets give.
    const arrow::ArrayData& values = *data.child_data.at(0);
    const std::uint32_t child = add(values, values.offset, depth + 1);
    reader_.nodes_[index].child = child;
  }

  [[gnu::noinline]] void add_struct(std::uint32_t index, const arrow::ArrayData& data,
                                    std::int64_t shift, int depth) {
    const auto& type = static_cast<const arrow::StructType&>(*data.type);
    const auto count = static_cast<std::uint32_t>(type.num_fields());
    const auto first = static_cast<std::uint32_t>(reader_.children_.size());
    reader_.children_.resize(first + count);
    reader_.slots_.resize(first + count);
    // The members every row of the struct has, null until read: the first field of a name
    // fills it, a later field of the same name is read and dropped.
    Object members;
    for (std::uint32_t k = 0; k < count; ++k) members.try_emplace(type.field(k)->name());
    std::map<std::string_view, std::uint32_t> place;
    std::uint32_t position = 0;
    for (const auto& member : members) place.emplace(member.first, position++);
    bool in_order = true;
    for (std::uint32_t k = 0; k < count; ++k) {
      auto found = place.find(type.field(k)->name());
      if (found == place.end()) {
        reader_.slots_[first + k] = kShadowed;
        in_order = false;
        continue;
      }
      reader_.slots_[first + k] = found->second;
      if (found->second != k) in_order = false;
      place.erase(found);  // a later field of this name is shadowed
    }
    ArrayReader::Node& node = reader_.nodes_[index];
    node.first = first;
    node.count = count;
    node.in_order = in_order;
    if (!in_order) reader_.stack_capacity_ += count;
    node.template_index = static_cast<std::uint32_t>(reader_.templates_.size());
    reader_.templates_.push_back(std::move(members));
    for (std::uint32_t k = 0; k < count; ++k) {
      const arrow::ArrayData& field = *data.child_data.at(k);
      const std::uint32_t child = add(field, field.offset + shift, depth + 1);
      reader_.children_[first + k] = child;
    }
  }

  ArrayReader& reader_;
};

namespace {

using Node = ArrayReader::Node;

// Arrow's null test for unions and run-end encoded arrays, on the array as the field
// accessors would have sliced it.
[[gnu::noinline]] bool derived_is_null(const Node& node, std::int64_t i) {
  std::shared_ptr<arrow::ArrayData> copy = node.data->Copy();
  copy->length -= node.shift - copy->offset;
  copy->offset = node.shift;
  return arrow::MakeArray(copy)->IsNull(i);
}

inline bool is_null(const Node& node, std::int64_t i) {
  if (node.validity != nullptr) return !arrow::bit_util::GetBit(node.validity, node.shift + i);
  if (node.derived_nulls) return derived_is_null(node, i);
  return node.all_null;
}

template <typename T>
inline T value_at(const Node& node, std::int64_t i) {
  return reinterpret_cast<const T*>(node.values)[node.shift + i];
}

template <typename Offset>
[[gnu::noinline]] void read_string(const Node& node, std::int64_t i, Value& out) {
  const auto* offsets = reinterpret_cast<const Offset*>(node.values) + node.shift + i;
  out.data.emplace<std::string>(node.chars + offsets[0],
                                static_cast<std::size_t>(offsets[1] - offsets[0]));
}

// Writes scalar cell i (known to be present) into `out`.
[[gnu::noinline]] void read_scalar(const Node& node, std::int64_t i, Value& out) {
  switch (node.op) {
    case Op::Bool:
      out.data.emplace<bool>(arrow::bit_util::GetBit(node.values, node.shift + i));
      return;
    case Op::Int8: out.data.emplace<std::int64_t>(value_at<std::int8_t>(node, i)); return;
    case Op::Int16: out.data.emplace<std::int64_t>(value_at<std::int16_t>(node, i)); return;
    case Op::Int32: out.data.emplace<std::int64_t>(value_at<std::int32_t>(node, i)); return;
    case Op::Int64: out.data.emplace<std::int64_t>(value_at<std::int64_t>(node, i)); return;
    case Op::UInt8: out.data.emplace<std::int64_t>(value_at<std::uint8_t>(node, i)); return;
    case Op::UInt16: out.data.emplace<std::int64_t>(value_at<std::uint16_t>(node, i)); return;
    case Op::UInt32: out.data.emplace<std::int64_t>(value_at<std::uint32_t>(node, i)); return;
    case Op::UInt64: {
      // Values from 2^63 upward do not fit an int64: they become the nearest double, as in
      // JSON text, never the negative number of their bit pattern.
      const auto value = value_at<std::uint64_t>(node, i);
      if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        out.data.emplace<double>(static_cast<double>(value));
      } else {
        out.data.emplace<std::int64_t>(static_cast<std::int64_t>(value));
      }
      return;
    }
    case Op::Float: out.data.emplace<double>(value_at<float>(node, i)); return;
    case Op::Double: out.data.emplace<double>(value_at<double>(node, i)); return;
    case Op::Utf8: read_string<std::int32_t>(node, i, out); return;
    case Op::LargeUtf8: read_string<std::int64_t>(node, i, out); return;
    case Op::TooDeep: throw_too_deep();
    default: throw_unsupported(*node.data->type);
  }
}

[[gnu::noinline]] Value* make_elements(Value& out, std::int64_t count) {
  return out.data.emplace<Array>(static_cast<std::size_t>(count)).data();
}

[[gnu::noinline]] Object& make_members(Value& out, const Object& members) {
  return out.data.emplace<Object>(members);
}

// The members of a struct cell whose fields come in another order than their names (or
// repeat a name), as pointers in key order, written from `slots` on; returns how many.
[[gnu::noinline]] std::size_t push_members(Object& members, Value** slots) {
  Value** slot = slots;
  for (auto& member : members) *slot++ = &member.second;
  return static_cast<std::size_t>(slot - slots);
}

}  // namespace

// The walk over one cell, kept in a class so that its recursive frames hold only an index
// and the reader: documents may be deep, stacks are not.
class CellWalk {
 public:
  // `stack` has room for the members of every struct the reader reads out of order.
  CellWalk(const ArrayReader& reader, Value** stack) : reader_(reader), stack_(stack) {}

  void read(std::uint32_t index, std::int64_t i, Value& out) {
    const Node& node = reader_.nodes_[index];
    // The null test comes first: a null cell of a type that cannot be read is simply null.
    if (is_null(node, i)) return;
    switch (node.op) {
      case Op::Null:
        return;
      case Op::List:
        read_list<std::int32_t>(node, i, out);
        return;
      case Op::LargeList:
        read_list<std::int64_t>(node, i, out);
        return;
      case Op::Struct:
        read_struct(node, i, out);
        return;
      default:
        read_scalar(node, i, out);
    }
  }

 private:
  template <typename Offset>
  void read_list(const Node& node, std::int64_t i, Value& out) {
    const auto* offsets = reinterpret_cast<const Offset*>(node.values) + node.shift + i;
    const std::int64_t begin = offsets[0];
    const std::int64_t end = offsets[1];
    Value* element = make_elements(out, end - begin);
    for (std::int64_t k = begin; k < end; ++k, ++element) read(node.child, k, *element);
  }

  void read_struct(const Node& node, std::int64_t i, Value& out) {
    Object& members = make_members(out, reader_.templates_[node.template_index]);
    const std::uint32_t* child = reader_.children_.data() + node.first;
    const std::uint32_t* const end = child + node.count;
    if (node.in_order) {
      for (auto member = members.begin(); child != end; ++child, ++member) {
        read(*child, i, member->second);
      }
      return;
    }
    // Fields are read in their own order, so that the first failing one is the one reported;
    // each finds its member through the struct's slots.
    Value** const slots = stack_ + top_;
    top_ += push_members(members, slots);
    const std::uint32_t* slot = reader_.slots_.data() + node.first;
    for (; child != end; ++child, ++slot) {
      if (*slot == kShadowed) {
        read_dropped(*child, i);
      } else {
        read(*child, i, *slots[*slot]);
      }
    }
    top_ = static_cast<std::size_t>(slots - stack_);
  }

  // A later field whose name is already taken is still read, so that it fails like any other
  // cell of the row, and its value is dropped.
  [[gnu::noinline]] void read_dropped(std::uint32_t index, std::int64_t i) {
    Value dropped;
    read(index, i, dropped);
  }

  const ArrayReader& reader_;
  Value** const stack_;
  std::size_t top_ = 0;
};

ArrayReader::ArrayReader() = default;
ArrayReader::~ArrayReader() = default;

std::shared_ptr<const ArrayReader> ArrayReader::Compile(
    const std::shared_ptr<arrow::ArrayData>& data, int depth) {
  std::shared_ptr<ArrayReader> reader(new ArrayReader());
  reader->source_ = data;
  reader->source_address_ = data.get();
  Compiler(*reader).add(*data, data->offset, depth);
  reader->stack_.resize(reader->stack_capacity_);
  return reader;
}

bool ArrayReader::Reads(const std::shared_ptr<arrow::ArrayData>& data) const noexcept {
  // Sharing the owner means the array is the very object compiled from, still alive (a
  // shared pointer to it exists), so its address cannot have been reused.
  return data.get() == source_address_ && !source_.owner_before(data) &&
         !data.owner_before(source_);
}

arrow::Type::type ArrayReader::type_id() const noexcept {
  return nodes_.front().data->type->id();
}

bool ArrayReader::IsNull(std::int64_t i) const { return is_null(nodes_.front(), i); }

void ArrayReader::Read(std::int64_t i, Value& out) const {
  if (stack_capacity_ == 0) {
    CellWalk(*this, nullptr).read(0, i, out);
    return;
  }
  if (stack_taken_.test_and_set(std::memory_order_acquire)) {
    // Another thread reads with this reader right now.
    std::vector<Value*> own(stack_capacity_);
    CellWalk(*this, own.data()).read(0, i, out);
    return;
  }
  struct Release {
    std::atomic_flag& flag;
    ~Release() { flag.clear(std::memory_order_release); }
  } release{stack_taken_};
  CellWalk(*this, stack_.data()).read(0, i, out);
}

}  // namespace shredder::arrow_dom
