#include "controller/atom_arrays.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "arrow/array/array_base.h"
#include "arrow/array/builder_binary.h"
#include "arrow/array/builder_primitive.h"
#include "arrow/array/data.h"
#include "arrow/array/util.h"
#include "arrow/buffer.h"
#include "arrow/memory_pool.h"
#include "arrow/record_batch.h"
#include "arrow/status.h"
#include "arrow/type.h"
#include "arrow/util/bit_util.h"
#include "controller/atoms_metadata.h"
#include "shredder/cell_view.h"
#include "shredder/column_names.h"
#include "shredder/number_text.h"
#include "shredder/short_bytes.h"

namespace shredder::controller_internal {
namespace {

using shredding::CellView;
using shredding::KindBit;

ErrorCode CodeOf(const arrow::Status& status) {
  return status.IsCapacityError() ? ErrorCode::TooLarge : ErrorCode::Internal;
}

void check(const arrow::Status& status) {
  if (!status.ok()) Fail(CodeOf(status), status.ToString());
}

// Calls the value converter on every row of the column in row order, fillers included,
// and hands each converted atom to `sink`.
template <typename Sink>
void convert_column(const MergedColumn& column, std::int64_t total_rows,
                    const CoercePolicy& policy, Sink&& sink) {
  const Value null_value;
  Value value;
  auto convert = [&](const Value& input) {
    std::variant<Atom, std::string> result = policy.value_converter(column.kind, input,
                                                                    *column.name);
    if (const auto* error = std::get_if<std::string>(&result)) {
      Fail(ErrorCode::Shape, *error, *column.name);
    }
    sink(std::get<Atom>(result));
  };
  ForEachRow(
      column, total_rows,
      [&](std::int64_t rows) {
        for (std::int64_t i = 0; i < rows; ++i) convert(null_value);
      },
      [&](const CellView& cell) {
        switch (cell.kind) {
          case Kind::Null: value.data.emplace<std::monostate>(); break;
          case Kind::Bool: value.data.emplace<bool>(cell.boolean()); break;
          case Kind::Int64: value.data.emplace<std::int64_t>(cell.integer()); break;
          case Kind::Double: value.data.emplace<double>(cell.real()); break;
          default:
            if (auto* text = std::get_if<std::string>(&value.data)) {
              text->assign(cell.text);
            } else {
              value.data.emplace<std::string>(cell.text);
            }
        }
        convert(value);
      });
}

std::shared_ptr<arrow::Array> finish(arrow::ArrayBuilder& builder) {
  std::shared_ptr<arrow::Array> array;
  check(builder.Finish(&array));
  return array;
}

// Boolean, int64 and double columns: every converted atom goes straight into a builder
// presized for the column. A misfit atom is reported once all atoms are converted, as
// conversion errors take precedence.
template <typename Builder, typename Payload>
std::shared_ptr<arrow::Array> build_primitive(const MergedColumn& column,
                                              std::int64_t total_rows, const CoercePolicy& policy,
                                              const char* misfit_text) {
  Builder builder(arrow::default_memory_pool());
  check(builder.Reserve(total_rows));
  bool misfit = false;
  convert_column(column, total_rows, policy, [&](const Atom& atom) {
    if (const auto* payload = std::get_if<Payload>(&atom)) {
      builder.UnsafeAppend(*payload);
    } else {
      if (!std::holds_alternative<std::monostate>(atom)) misfit = true;
      builder.UnsafeAppendNull();
    }
  });
  if (misfit) Fail(ErrorCode::BadArgument, misfit_text, *column.name);
  return finish(builder);
}

// Reserves a string builder for the rows and, when that fits the offset limit, for `bytes`
// of data. Appends stay checked, so a column past the limit fails with the capacity error at
// the first string that overflows.
void reserve_strings(arrow::StringBuilder& builder, std::int64_t total_rows, std::size_t bytes) {
  check(builder.Reserve(total_rows));
  if (static_cast<std::int64_t>(bytes) <= arrow::StringBuilder::memory_limit()) {
    check(builder.ReserveData(static_cast<std::int64_t>(bytes)));
  }
}

// String columns: converted strings are appended straight into the builder, its data
// reserved for the bytes of the supplied strings (what the converter usually returns for a
// string column). Building stops at the first problem in row order, which is reported once
// all atoms are converted.
std::shared_ptr<arrow::Array> build_string(const MergedColumn& column, std::int64_t total_rows,
                                           const CoercePolicy& policy) {
  arrow::StringBuilder builder(arrow::default_memory_pool());
  reserve_strings(builder, total_rows, column.string_bytes);
  std::optional<std::pair<ErrorCode, std::string>> problem;
  convert_column(column, total_rows, policy, [&](const Atom& atom) {
    if (problem) return;
    if (const auto* text = std::get_if<std::string>(&atom)) {
      const arrow::Status status = builder.Append(std::string_view(*text));
      if (!status.ok()) problem.emplace(CodeOf(status), status.ToString());
    } else if (std::holds_alternative<std::monostate>(atom)) {
      builder.UnsafeAppendNull();
    } else {
      problem.emplace(ErrorCode::BadArgument, "arrow build: non-string in string column");
    }
  });
  if (problem) Fail(problem->first, problem->second, *column.name);
  return finish(builder);
}

// Builds a column through the policy's converter.
std::shared_ptr<arrow::Array> build_column(const MergedColumn& column, std::int64_t total_rows,
                                           const CoercePolicy& policy) {
  switch (column.kind) {
    case Kind::Null:
      convert_column(column, total_rows, policy, [](const Atom&) {});
      return std::make_shared<arrow::NullArray>(total_rows);
    case Kind::Bool:
      return build_primitive<arrow::BooleanBuilder, bool>(column, total_rows, policy,
                                                          "arrow build: non-bool in bool column");
    case Kind::Int64:
      return build_primitive<arrow::Int64Builder, std::int64_t>(
          column, total_rows, policy, "arrow build: non-int64 in int64 column");
    case Kind::Double:
      return build_primitive<arrow::DoubleBuilder, double>(
          column, total_rows, policy, "arrow build: non-double in double column");
    case Kind::String:
    case Kind::Array:
    case Kind::Object:
      return build_string(column, total_rows, policy);
  }
  convert_column(column, total_rows, policy, [](const Atom&) {});
  Fail(ErrorCode::Internal, "arrow build: unknown target kind");
}

template <typename T>
T value_or_Fail(arrow::Result<T> result) {
  check(result.status());
  return std::move(result).ValueUnsafe();
}

// A string column whose supplied cells are all strings or nulls is assembled directly from
// its merged text: the data is the text with repeated entries repeated (the text itself when
// there are none), the offsets follow from the ends recorded while merging. The buffers have
// the sizes a string builder gives them.
std::shared_ptr<arrow::Array> build_text_column(const MergedColumn& column,
                                                std::int64_t total_rows) {
  arrow::MemoryPool* pool = arrow::default_memory_pool();
  std::shared_ptr<arrow::Buffer> validity =
      value_or_Fail(arrow::AllocateEmptyBitmap(total_rows, pool));
  std::shared_ptr<arrow::Buffer> offsets = value_or_Fail(arrow::AllocateBuffer(
      (total_rows + 1) * static_cast<std::int64_t>(sizeof(std::int32_t)), pool));
  std::shared_ptr<arrow::Buffer> data = value_or_Fail(
      arrow::AllocateBuffer(static_cast<std::int64_t>(column.string_bytes), pool));
  const bool copy_each = column.string_bytes != column.text.size();
  if (!copy_each && !column.text.empty()) {
    std::memcpy(data->mutable_data(), column.text.data(), column.text.size());
  }
  char* bytes = reinterpret_cast<char*>(data->mutable_data());
  std::uint8_t* bits = validity->mutable_data();
  auto* ends = reinterpret_cast<std::int32_t*>(offsets->mutable_data());
  std::int64_t row = 0;
  std::int32_t end = 0;
  std::int64_t nulls = 0;
  ForEachRow(
      column, total_rows,
      [&](std::int64_t rows) {
        std::fill(ends + row, ends + row + rows, end);
        row += rows;
        nulls += rows;
      },
      [&](const CellView& cell) {
        ends[row] = end;
        if (cell.kind == Kind::String) {
          arrow::bit_util::SetBit(bits, row);
          const std::string_view text = cell.text;
          // Mostly short: a digest's 64 characters, a repeated code.
          if (copy_each) {
            shredder_copy_bytes(reinterpret_cast<std::uint8_t*>(bytes + end),
                                reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
          }
          end += static_cast<std::int32_t>(text.size());
        } else {
          ++nulls;
        }
        ++row;
      });
  ends[row] = end;
  return arrow::MakeArray(arrow::ArrayData::Make(arrow::utf8(), total_rows,
                                                 {std::move(validity), std::move(offsets),
                                                  std::move(data)},
                                                 nulls));
}

// A boolean, int64 or double column assembled directly: values written where cells are
// valid, zero bytes elsewhere, as a builder leaves them.
template <typename Value, typename Payload>
std::shared_ptr<arrow::Array> build_fixed_column(const MergedColumn& column,
                                                 std::int64_t total_rows,
                                                 std::shared_ptr<arrow::DataType> type,
                                                 Payload&& payload) {
  arrow::MemoryPool* pool = arrow::default_memory_pool();
  constexpr bool kBits = std::is_same_v<Value, bool>;
  std::shared_ptr<arrow::Buffer> validity =
      value_or_Fail(arrow::AllocateEmptyBitmap(total_rows, pool));
  std::shared_ptr<arrow::Buffer> values;
  if constexpr (kBits) {
    values = value_or_Fail(arrow::AllocateEmptyBitmap(total_rows, pool));
  } else {
    values = value_or_Fail(
        arrow::AllocateBuffer(total_rows * static_cast<std::int64_t>(sizeof(Value)), pool));
    std::memset(values->mutable_data(), 0, static_cast<std::size_t>(values->size()));
  }
  std::uint8_t* bits = validity->mutable_data();
  std::uint8_t* data = values->mutable_data();
  std::int64_t row = 0;
  std::int64_t nulls = 0;
  ForEachRow(
      column, total_rows,
      [&](std::int64_t rows) {
        row += rows;
        nulls += rows;
      },
      [&](const CellView& cell) {
        if (cell.kind == Kind::Null) {
          ++nulls;
        } else {
          arrow::bit_util::SetBit(bits, row);
          const Value value = payload(cell);
          if constexpr (kBits) {
            if (value) arrow::bit_util::SetBit(data, row);
          } else {
            std::memcpy(data + row * static_cast<std::int64_t>(sizeof(Value)), &value,
                        sizeof(Value));
          }
        }
        ++row;
      });
  return arrow::MakeArray(arrow::ArrayData::Make(std::move(type), total_rows,
                                                 {std::move(validity), std::move(values)},
                                                 nulls));
}

// Builds a column as the shipped policy's converter would have converted it: every value
// fits the settled kind, integers widen to doubles, and a string column boxes the other
// scalars into their text.
std::shared_ptr<arrow::Array> build_boxed_column(const MergedColumn& column,
                                                 std::int64_t total_rows) {
  switch (column.kind) {
    case Kind::Null:
      return std::make_shared<arrow::NullArray>(total_rows);
    case Kind::Bool:
      return build_fixed_column<bool>(column, total_rows, arrow::boolean(),
                                      [](const CellView& cell) { return cell.boolean(); });
    case Kind::Int64:
      return build_fixed_column<std::int64_t>(
          column, total_rows, arrow::int64(),
          [](const CellView& cell) { return cell.integer(); });
    case Kind::Double:
      return build_fixed_column<double>(column, total_rows, arrow::float64(),
                                        [](const CellView& cell) {
                                          return cell.kind == Kind::Int64
                                                     ? static_cast<double>(cell.integer())
                                                     : cell.real();
                                        });
    default:
      break;
  }
  // Only strings and nulls: the column is its merged text.
  constexpr std::uint8_t kOtherScalars =
      KindBit(Kind::Bool) | KindBit(Kind::Int64) | KindBit(Kind::Double);
  if ((column.kinds_seen & kOtherScalars) == 0 &&
      column.string_bytes <= static_cast<std::uint64_t>(arrow::StringBuilder::memory_limit())) {
    return build_text_column(column, total_rows);
  }
  arrow::StringBuilder builder(arrow::default_memory_pool());
  reserve_strings(builder, total_rows, column.string_bytes);
  arrow::Status status;
  char number[kNumberTextBuffer];
  ForEachRow(
      column, total_rows,
      [&](std::int64_t rows) {
        if (!status.ok()) return;
        for (std::int64_t i = 0; i < rows; ++i) builder.UnsafeAppendNull();
      },
      [&](const CellView& cell) {
        if (!status.ok()) return;
        switch (cell.kind) {
          case Kind::Null: builder.UnsafeAppendNull(); return;
          case Kind::Bool: status = builder.Append(cell.boolean() ? "true" : "false"); return;
          case Kind::Int64:
            status = builder.Append(
                std::string_view(number, write_int_text(number, cell.integer())));
            return;
          case Kind::Double:
            status = builder.Append(
                std::string_view(number, write_double_text(number, cell.real())));
            return;
          default: status = builder.Append(cell.text); return;
        }
      });
  check(status);
  return finish(builder);
}

std::shared_ptr<arrow::DataType> type_of(Kind kind) {
  switch (kind) {
    case Kind::Null: return arrow::null();
    case Kind::Bool: return arrow::boolean();
    case Kind::Int64: return arrow::int64();
    case Kind::Double: return arrow::float64();
    default: return arrow::utf8();
  }
}

}  // namespace

std::shared_ptr<arrow::RecordBatch> BuildAtomsBatch(Merger& merger) {
  const std::int64_t total_rows = merger.total_rows();
  arrow::FieldVector fields;
  std::vector<std::shared_ptr<arrow::Array>> arrays;
  fields.reserve(merger.columns().size());
  arrays.reserve(merger.columns().size());
  for (MergedColumn& column : merger.columns()) {
    std::shared_ptr<arrow::Array> array;
    if (merger.boxing()) {
      column.kind = BoxedKind(column.kinds_seen);
      array = build_boxed_column(column, total_rows);
    } else {
      array = build_column(column, total_rows, merger.policy());
    }
    column.release();
    fields.push_back(arrow::field(*column.name, type_of(column.kind), /*nullable=*/true,
                                  ColumnMetadata(merger.walker().info(column.name_id))));
    arrays.push_back(std::move(array));
  }
  // A batch without documents has no fields, in both modes.
  if (merger.exact() && !fields.empty()) {
    arrow::Int64Builder rows;
    check(rows.Reserve(total_rows));
    for (const Run& document : merger.document_rows()) {
      for (std::size_t i = 0; i < document.count; ++i) rows.UnsafeAppend(document.row);
    }
    std::shared_ptr<arrow::Array> array;
    check(rows.Finish(&array));
    fields.push_back(arrow::field(std::string(kDocumentColumn), arrow::int64(),
                                  /*nullable=*/true, DocumentMetadata()));
    arrays.push_back(std::move(array));
  }
  return arrow::RecordBatch::Make(arrow::schema(std::move(fields)), total_rows,
                                  std::move(arrays));
}

}  // namespace shredder::controller_internal
