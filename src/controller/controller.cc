#include "shredder/controller.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "arrow/array/array_base.h"
#include "arrow/array/data.h"
#include "arrow/array/util.h"
#include "arrow/buffer.h"
#include "arrow/util/bit_util.h"
#include "arrow/array/builder_binary.h"
#include "arrow/array/builder_primitive.h"
#include "arrow/memory_pool.h"
#include "arrow/record_batch.h"
#include "arrow/status.h"
#include "arrow/type.h"
#include "model/coerce_policy_internal.h"
#include "shred/shred_internal.h"
#include "shred/unshred_internal.h"
#include "shredder/serialization.h"

namespace shredder {
namespace {

[[noreturn]] void fail(std::string_view detail) {
  std::string text = "Controller: ";
  text += detail;
  throw std::runtime_error(text);
}

void check(const arrow::Status& status) {
  if (!status.ok()) fail(status.ToString());
}

// The exception of a failed row: the original one's type and text, and the row.
template <typename Error>
class AtRow final : public Error, public RowError {
 public:
  AtRow(const Error& error, std::int64_t row) : Error(error), RowError(row) {}
};

// Rethrows the exception being handled as the same type (the nearest standard one for types
// derived from those) carrying `row`. Other exceptions, and memory exhaustion, which is no
// fault of the row, pass unchanged.
[[noreturn]] void rethrow_at_row(std::int64_t row) {
  try {
    throw;
  } catch (const RowError&) {
    throw;
  } catch (const JsonParseError& e) {
    throw AtRow<JsonParseError>(e, row);
  } catch (const std::invalid_argument& e) {
    throw AtRow<std::invalid_argument>(e, row);
  } catch (const std::out_of_range& e) {
    throw AtRow<std::out_of_range>(e, row);
  } catch (const std::length_error& e) {
    throw AtRow<std::length_error>(e, row);
  } catch (const std::domain_error& e) {
    throw AtRow<std::domain_error>(e, row);
  } catch (const std::logic_error& e) {
    throw AtRow<std::logic_error>(e, row);
  } catch (const std::range_error& e) {
    throw AtRow<std::range_error>(e, row);
  } catch (const std::overflow_error& e) {
    throw AtRow<std::overflow_error>(e, row);
  } catch (const std::underflow_error& e) {
    throw AtRow<std::underflow_error>(e, row);
  } catch (const std::runtime_error& e) {
    throw AtRow<std::runtime_error>(e, row);
  } catch (const std::bad_variant_access& e) {
    throw AtRow<std::bad_variant_access>(e, row);
  }
}

// Every column of an atoms batch has a cell in every row, so documents with many distinct
// keys make rows x columns grow with the square of the batch (1,000 documents of 1,000 keys
// of their own give 1e9 cells from 10 MB of text). Batches are refused beyond this many cells,
// in both directions, before any column is built or read; a batch shredded within the bound
// can always be unshredded.
constexpr std::uint64_t kMaxAtomCells = std::uint64_t{1} << 28;

void check_cells(std::uint64_t rows, std::uint64_t columns, std::string_view advice) {
  if (columns == 0 || rows <= kMaxAtomCells / columns) return;
  std::string detail = "atoms batch too large: " + std::to_string(rows) + " rows x " +
                       std::to_string(columns) + " columns exceeds " +
                       std::to_string(kMaxAtomCells) + " cells; ";
  detail += advice;
  fail(detail);
}

// A stretch of consecutive batch rows that one document gave a column.
struct Run {
  std::int64_t row;
  std::size_t count;
};

// One column of the atoms batch while documents are merged. Only the cells that documents
// supplied are stored; the rows in between are nulls, produced again when the column is
// converted, so a column that few documents have costs nothing in the others' rows. A
// supplied cell is kept unconverted as its atom alternative and an 8-byte payload (the bool,
// the integer, the double's bits, or for a string the end of its bytes in `text`, where the
// strings follow one another), not as an owned atom. Consecutive rows of one document that
// hold the same leaf (a member above an array, copied into every row of its elements) are
// stored once, with a repeat count.
struct MergedColumn {
  // An entry that stands for `count` consecutive rows.
  struct Repeat {
    std::size_t entry;
    std::uint64_t count;
  };

  const std::string* name = nullptr;  // the walker's name text, stable for the whole call
  Kind kind = Kind::Null;             // settled so far by the policy's resolver
  std::uint8_t kinds_seen = 0;        // bit k: an atom of alternative k was supplied
  std::vector<std::uint8_t> kinds;    // alternative of every entry, in row order
  std::vector<std::uint64_t> payloads;
  std::vector<Repeat> repeats;        // entries that stand for more than one row, in order
  std::string text;
  std::uint64_t string_bytes = 0;     // bytes of all string cells, repeats included
  std::uint64_t last_text_length = 0;  // bytes of the last string entry
  std::vector<Run> runs;              // where the supplied cells sit, in row order

  // Frees the stored cells once the column is built.
  void release() {
    std::vector<std::uint8_t>().swap(kinds);
    std::vector<std::uint64_t>().swap(payloads);
    std::vector<Repeat>().swap(repeats);
    std::string().swap(text);
  }
};

// Reads a column's supplied cells back in row order.
class CellReader {
 public:
  explicit CellReader(const MergedColumn& column) : column_(column) {}

  std::uint8_t kind() const { return column_.kinds[next_]; }
  bool boolean() const { return column_.payloads[next_] != 0; }
  std::int64_t integer() const { return static_cast<std::int64_t>(column_.payloads[next_]); }
  double real() const { return std::bit_cast<double>(column_.payloads[next_]); }
  std::string_view text() const {
    const std::size_t end = column_.payloads[next_];
    return std::string_view(column_.text).substr(text_start_, end - text_start_);
  }
  // The number of consecutive rows the current entry stands for.
  std::uint64_t count() const {
    return next_repeat_ < column_.repeats.size() && column_.repeats[next_repeat_].entry == next_
               ? column_.repeats[next_repeat_].count
               : 1;
  }
  // Moves to the next entry.
  void advance() {
    if (column_.kinds[next_] == 4) text_start_ = column_.payloads[next_];
    if (next_repeat_ < column_.repeats.size() && column_.repeats[next_repeat_].entry == next_) {
      ++next_repeat_;
    }
    ++next_;
  }

 private:
  const MergedColumn& column_;
  std::size_t next_ = 0;
  std::size_t next_repeat_ = 0;
  std::size_t text_start_ = 0;
};

// Calls, in row order over `total_rows` rows, `filler(n)` for every stretch of n rows the
// column has no cell in and `cell(reader)` for every row of a supplied cell.
template <typename Filler, typename Cell>
void for_each_row(const MergedColumn& column, std::int64_t total_rows, Filler&& filler,
                  Cell&& cell) {
  CellReader reader(column);
  std::int64_t row = 0;
  for (const Run& run : column.runs) {
    if (row < run.row) filler(run.row - row);
    for (std::size_t left = run.count; left > 0; reader.advance()) {
      const std::uint64_t count = reader.count();
      for (std::uint64_t i = 0; i < count; ++i) cell(reader);
      left -= count;
    }
    row = run.row + static_cast<std::int64_t>(run.count);
  }
  if (row < total_rows) filler(total_rows - row);
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
    if (result.index() != 0) fail(std::get<1>(result));
    sink(std::get<0>(result));
  };
  for_each_row(
      column, total_rows,
      [&](std::int64_t rows) {
        for (std::int64_t i = 0; i < rows; ++i) convert(null_value);
      },
      [&](const CellReader& cell) {
        switch (cell.kind()) {
          case 0: value.data.emplace<0>(); break;
          case 1: value.data.emplace<1>(cell.boolean()); break;
          case 2: value.data.emplace<2>(cell.integer()); break;
          case 3: value.data.emplace<3>(cell.real()); break;
          default:
            if (auto* text = std::get_if<std::string>(&value.data)) {
              text->assign(cell.text());
            } else {
              value.data.emplace<4>(cell.text());
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
      if (atom.index() != 0) misfit = true;
      builder.UnsafeAppendNull();
    }
  });
  if (misfit) fail(misfit_text);
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
  std::optional<std::string> problem;
  convert_column(column, total_rows, policy, [&](const Atom& atom) {
    if (problem) return;
    if (const auto* text = std::get_if<std::string>(&atom)) {
      const arrow::Status status = builder.Append(std::string_view(*text));
      if (!status.ok()) problem = status.ToString();
    } else if (atom.index() == 0) {
      builder.UnsafeAppendNull();
    } else {
      problem = "arrow build: non-string in string column";
    }
  });
  if (problem) fail(*problem);
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
  fail("arrow build: unknown target kind");
}

// The kind the shipped policy's resolver settles on for a column, from the set of atom
// alternatives it received (the order does not matter for that policy).
Kind boxed_kind(std::uint8_t kinds_seen) {
  const unsigned present = kinds_seen & ~1u;  // nulls give way to any kind
  if (present == 0) return Kind::Null;
  if ((present & (present - 1)) == 0) return static_cast<Kind>(std::countr_zero(present));
  if (present == ((1u << 2) | (1u << 3))) return Kind::Double;
  return Kind::String;
}

template <typename T>
T value_or_fail(arrow::Result<T> result) {
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
      value_or_fail(arrow::AllocateEmptyBitmap(total_rows, pool));
  std::shared_ptr<arrow::Buffer> offsets = value_or_fail(arrow::AllocateBuffer(
      (total_rows + 1) * static_cast<std::int64_t>(sizeof(std::int32_t)), pool));
  std::shared_ptr<arrow::Buffer> data = value_or_fail(
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
  for_each_row(
      column, total_rows,
      [&](std::int64_t rows) {
        std::fill(ends + row, ends + row + rows, end);
        row += rows;
        nulls += rows;
      },
      [&](const CellReader& cell) {
        ends[row] = end;
        if (cell.kind() == 4) {
          arrow::bit_util::SetBit(bits, row);
          const std::string_view text = cell.text();
          if (copy_each && !text.empty()) std::memcpy(bytes + end, text.data(), text.size());
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
      value_or_fail(arrow::AllocateEmptyBitmap(total_rows, pool));
  std::shared_ptr<arrow::Buffer> values;
  if constexpr (kBits) {
    values = value_or_fail(arrow::AllocateEmptyBitmap(total_rows, pool));
  } else {
    values = value_or_fail(
        arrow::AllocateBuffer(total_rows * static_cast<std::int64_t>(sizeof(Value)), pool));
    std::memset(values->mutable_data(), 0, static_cast<std::size_t>(values->size()));
  }
  std::uint8_t* bits = validity->mutable_data();
  std::uint8_t* data = values->mutable_data();
  std::int64_t row = 0;
  std::int64_t nulls = 0;
  for_each_row(
      column, total_rows,
      [&](std::int64_t rows) {
        row += rows;
        nulls += rows;
      },
      [&](const CellReader& cell) {
        if (cell.kind() == 0) {
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
                                      [](const CellReader& cell) { return cell.boolean(); });
    case Kind::Int64:
      return build_fixed_column<std::int64_t>(
          column, total_rows, arrow::int64(),
          [](const CellReader& cell) { return cell.integer(); });
    case Kind::Double:
      return build_fixed_column<double>(column, total_rows, arrow::float64(),
                                        [](const CellReader& cell) {
                                          return cell.kind() == 2
                                                     ? static_cast<double>(cell.integer())
                                                     : cell.real();
                                        });
    default:
      break;
  }
  if ((column.kinds_seen & 0b01110) == 0 &&
      column.string_bytes <= static_cast<std::uint64_t>(arrow::StringBuilder::memory_limit())) {
    return build_text_column(column, total_rows);
  }
  arrow::StringBuilder builder(arrow::default_memory_pool());
  reserve_strings(builder, total_rows, column.string_bytes);
  arrow::Status status;
  char number[coerce_internal::kNumberTextBuffer];
  for_each_row(
      column, total_rows,
      [&](std::int64_t rows) {
        if (!status.ok()) return;
        for (std::int64_t i = 0; i < rows; ++i) builder.UnsafeAppendNull();
      },
      [&](const CellReader& cell) {
        if (!status.ok()) return;
        switch (cell.kind()) {
          case 0: builder.UnsafeAppendNull(); return;
          case 1: status = builder.Append(cell.boolean() ? "true" : "false"); return;
          case 2:
            status = builder.Append(
                std::string_view(number, coerce_internal::write_int_text(number, cell.integer())));
            return;
          case 3:
            status = builder.Append(
                std::string_view(number, coerce_internal::write_double_text(number, cell.real())));
            return;
          default: status = builder.Append(cell.text()); return;
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

// Working state of one shred call: the walker that shreds each document, and the merged
// columns.
class Merger {
 public:
  explicit Merger(const CoercePolicy& policy)
      : policy_(policy), boxing_(coerce_internal::IsBoxToStringPolicy(policy)) {}

  // Shreds one document and appends the rows of its table.
  void add(const Object& document) {
    const shred_internal::DocumentTable& table = walker_.Walk(document);
    if (table.headers.empty() || table.row_count == 0) return;
    const std::size_t width = table.headers.size();
    ids_.clear();
    for (std::size_t j = 0; j < width; ++j) ids_.push_back(column_id(table.headers[j]));
    targets_.clear();
    for (std::size_t j = 0; j < width; ++j) {
      MergedColumn& column = columns_[ids_[j]];
      extend_runs(column, table.row_count);
      targets_.push_back(&column);
    }
    if (boxing_) {
      append_rows(table);
    } else {
      for (std::size_t j = 0; j < width; ++j) append_column(*targets_[j], table, j);
    }
    total_rows_ += static_cast<std::int64_t>(table.row_count);
  }

  // Refuses the batch once its columns, padded to full length, would pass the cell bound.
  // Columns are stored sparsely while documents are merged; the padding comes only when they
  // are built.
  void check_size() const {
    check_cells(static_cast<std::uint64_t>(total_rows_), columns_.size(),
                "shred fewer documents per batch");
  }

  std::shared_ptr<arrow::RecordBatch> finish() {
    arrow::FieldVector fields;
    std::vector<std::shared_ptr<arrow::Array>> arrays;
    fields.reserve(columns_.size());
    arrays.reserve(columns_.size());
    for (MergedColumn& column : columns_) {
      std::shared_ptr<arrow::Array> array;
      if (boxing_) {
        column.kind = boxed_kind(column.kinds_seen);
        array = build_boxed_column(column, total_rows_);
      } else {
        array = build_column(column, total_rows_, policy_);
      }
      column.release();
      fields.push_back(arrow::field(*column.name, type_of(column.kind), /*nullable=*/true));
      arrays.push_back(std::move(array));
    }
    return arrow::RecordBatch::Make(arrow::schema(std::move(fields)), total_rows_,
                                    std::move(arrays));
  }

 private:
  static constexpr std::uint32_t kNoId = UINT32_MAX;

  // The column of a name number, registering a new name at the end of the column order.
  std::uint32_t column_id(std::uint32_t name) {
    if (name >= column_of_name_.size()) column_of_name_.resize(name + 1, kNoId);
    std::uint32_t& id = column_of_name_[name];
    if (id == kNoId) {
      id = static_cast<std::uint32_t>(columns_.size());
      columns_.emplace_back().name = &walker_.name(name);
    }
    return id;
  }

  // Records that the column has `count` more rows, starting at the current total.
  void extend_runs(MergedColumn& column, std::size_t count) {
    if (!column.runs.empty() &&
        column.runs.back().row + static_cast<std::int64_t>(column.runs.back().count) ==
            total_rows_) {
      column.runs.back().count += count;
    } else {
      column.runs.push_back(Run{total_rows_, count});
    }
  }

  // The shipped policy, whose resolver is applied at the end: the table is read row by row,
  // in the order it lies in memory.
  void append_rows(const shred_internal::DocumentTable& table) {
    const std::size_t width = table.headers.size();
    static const std::vector<shred_internal::Cell> kNoRow;
    const std::vector<shred_internal::Cell>* previous = &kNoRow;
    for (std::size_t r = 0; r < table.row_count; ++r) {
      const std::vector<shred_internal::Cell>& row = table.rows[r];
      const std::size_t written = std::min(row.size(), width);
      for (std::size_t j = 0; j < width; ++j) {
        const shred_internal::Cell cell = j < written ? row[j] : shred_internal::kNoCell;
        const shred_internal::Cell before =
            j < previous->size() ? (*previous)[j] : shred_internal::kNoCell;
        MergedColumn& column = *targets_[j];
        const std::uint8_t incoming = shred_internal::AtomKindOf(cell);
        column.kinds_seen |= static_cast<std::uint8_t>(1u << incoming);
        store(column, cell, incoming, r > 0 && cell == before);
      }
      previous = &row;
    }
  }

  // Any other policy: the cells of header j of `table`, asking the resolver for every atom
  // after the column's first, column by column as the policy expects to be asked.
  void append_column(MergedColumn& column, const shred_internal::DocumentTable& table,
                     std::size_t j) {
    shred_internal::Cell previous = shred_internal::kNoCell;
    for (std::size_t r = 0; r < table.row_count; ++r) {
      const std::vector<shred_internal::Cell>& row = table.rows[r];
      const shred_internal::Cell cell = j < row.size() ? row[j] : shred_internal::kNoCell;
      const std::uint8_t incoming = shred_internal::AtomKindOf(cell);
      if (column.kinds.empty()) {
        column.kind = static_cast<Kind>(incoming);
      } else {
        std::optional<Kind> kind =
            policy_.kind_resolver(column.kind, static_cast<Kind>(incoming), *column.name);
        if (!kind) fail("schema conflict at " + *column.name);
        column.kind = *kind;
      }
      store(column, cell, incoming, r > 0 && cell == previous);
      previous = cell;
    }
  }

  // Appends a cell; one that repeats the row before in the same document (the same leaf, or
  // both empty) only counts again.
  static void store(MergedColumn& column, shred_internal::Cell cell, std::uint8_t kind,
                    bool repeat) {
    if (repeat) {
      repeat_last(column, kind);
    } else {
      column.kinds.push_back(kind);
      column.payloads.push_back(payload(column, cell, kind));
    }
  }

  static void repeat_last(MergedColumn& column, std::uint8_t kind) {
    const std::size_t entry = column.kinds.size() - 1;
    if (column.repeats.empty() || column.repeats.back().entry != entry) {
      column.repeats.push_back(MergedColumn::Repeat{entry, 2});
    } else {
      ++column.repeats.back().count;
    }
    if (kind == 4) column.string_bytes += column.last_text_length;
  }

  static std::uint64_t payload(MergedColumn& column, shred_internal::Cell cell,
                               std::uint8_t kind) {
    if (kind == 0) return 0;
    if (shred_internal::IsIndexCell(cell)) {
      return static_cast<std::uint64_t>(shred_internal::IndexOf(cell));
    }
    const ValueData& data = shred_internal::LeafOf(cell).data;
    switch (kind) {
      case 1: return *std::get_if<bool>(&data) ? 1 : 0;
      case 2: return static_cast<std::uint64_t>(*std::get_if<std::int64_t>(&data));
      case 3: return std::bit_cast<std::uint64_t>(*std::get_if<double>(&data));
      default: {
        const std::string& text = *std::get_if<std::string>(&data);
        column.text.append(text);
        column.string_bytes += text.size();
        column.last_text_length = text.size();
        return column.text.size();
      }
    }
  }

  const CoercePolicy& policy_;
  const bool boxing_;  // the shipped policy, applied inline
  shred_internal::TableWalker walker_;
  std::vector<MergedColumn> columns_;       // in order of first registration
  std::vector<std::uint32_t> column_of_name_;  // by the walker's name number
  std::vector<std::uint32_t> ids_;             // the columns of the current document's headers
  std::vector<MergedColumn*> targets_;
  std::int64_t total_rows_ = 0;
};

// An atoms batch column as buffers to read in place. A column of any other type is refused
// at its first valid cell, and reads as all null when it has none.
unshred_internal::RawColumn raw_column(const arrow::Array& array) {
  using Type = unshred_internal::RawColumn::Type;
  unshred_internal::RawColumn raw;
  const arrow::ArrayData& data = *array.data();
  auto buffer = [&](std::size_t i) -> const std::uint8_t* {
    return data.buffers.size() > i && data.buffers[i] ? data.buffers[i]->data() : nullptr;
  };
  switch (array.type_id()) {
    case arrow::Type::NA: raw.type = Type::Null; break;
    case arrow::Type::BOOL: raw.type = Type::Bool; break;
    case arrow::Type::INT64: raw.type = Type::Int64; break;
    case arrow::Type::DOUBLE: raw.type = Type::Double; break;
    case arrow::Type::STRING: raw.type = Type::Utf8; break;
    case arrow::Type::LARGE_STRING: raw.type = Type::LargeUtf8; break;
    default:
      for (std::int64_t i = 0; i < array.length(); ++i) {
        if (array.IsValid(i)) {
          throw std::runtime_error("Controller: unshred: unsupported atom column type: " +
                                   array.type()->ToString());
        }
      }
      raw.type = Type::Null;
      return raw;
  }
  if (raw.type == Type::Null) return raw;
  raw.offset = data.offset;
  // As Arrow's own validity test: the bitmap when there is one, otherwise all cells are
  // valid unless all are null.
  raw.validity = array.null_bitmap_data();
  raw.all_null = raw.validity == nullptr && array.null_count() == array.length();
  if (raw.type == Type::Utf8 || raw.type == Type::LargeUtf8) {
    raw.offsets = buffer(1);
    raw.data = reinterpret_cast<const char*>(buffer(2));
  } else {
    raw.values = buffer(1);
  }
  return raw;
}

}  // namespace

Controller::Controller(std::unique_ptr<DocumentCodec> codec,
                       std::vector<std::reference_wrapper<DomModifier>> modifiers,
                       CoercePolicy policy)
    : codec_(std::move(codec)), modifiers_(std::move(modifiers)), policy_(std::move(policy)) {}

std::shared_ptr<arrow::RecordBatch> Controller::shred(
    const std::shared_ptr<arrow::RecordBatch>& input) {
  for (DomModifier& modifier : modifiers_) modifier.begin_batch();
  std::shared_ptr<arrow::RecordBatch> atoms;
  try {
    codec_->ValidateInput(input);
    if (!input) fail("null RecordBatch");
    const std::int64_t rows = input->num_rows();
    Merger merger(policy_);
    for (std::int64_t row = 0; row < rows; ++row) {
      try {
        Object document = codec_->ToDom(input, row);
        for (DomModifier& modifier : modifiers_) modifier.modify(document);
        // The Merger shreds the document as `Shredder::Shred` would, straight into its
        // columns.
        merger.add(document);
      } catch (...) {
        rethrow_at_row(row);
      }
      merger.check_size();
    }
    atoms = merger.finish();
  } catch (...) {
    for (DomModifier& modifier : modifiers_) modifier.rollback_batch();
    throw;
  }
  for (DomModifier& modifier : modifiers_) modifier.commit_batch();
  return atoms;
}

std::shared_ptr<arrow::RecordBatch> Controller::unshred(
    const std::shared_ptr<arrow::RecordBatch>& atoms) {
  if (!atoms) fail("null RecordBatch");
  if (atoms->num_columns() < 1) fail("atoms batch has no columns");
  // Every column must hold the batch's rows, and every offset and string be sound, before
  // any cell is read in place.
  check(atoms->ValidateFull());
  const std::int64_t rows = atoms->num_rows();
  // The bound of the shred direction, so that a batch shredded within it always unshreds.
  check_cells(static_cast<std::uint64_t>(rows), static_cast<std::uint64_t>(atoms->num_columns()),
              "unshred fewer documents per batch");
  // The cells are read where they lie in the batch's buffers; the documents are exactly those
  // that `Shredder::Unshred` rebuilds from the columns read into atoms.
  std::vector<std::string> headers;
  std::vector<unshred_internal::RawColumn> columns;
  headers.reserve(static_cast<std::size_t>(atoms->num_columns()));
  columns.reserve(static_cast<std::size_t>(atoms->num_columns()));
  for (int c = 0; c < atoms->num_columns(); ++c) {
    headers.push_back(atoms->schema()->field(c)->name());
    columns.push_back(raw_column(*atoms->column(c)));
  }
  return unshred_internal::UnshredToBatch(*codec_, headers, columns,
                                          static_cast<std::uint64_t>(rows));
}

}  // namespace shredder
