#include "shredder/controller.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "arrow/array/array_base.h"
#include "arrow/array/builder_binary.h"
#include "arrow/array/builder_primitive.h"
#include "arrow/memory_pool.h"
#include "arrow/record_batch.h"
#include "arrow/status.h"
#include "arrow/type.h"
#include "controller/vector_column.h"

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

// A stretch of consecutive batch rows that one document gave a column.
struct Run {
  std::int64_t row;
  std::size_t count;
};

// One column of the atoms batch while documents are merged. Only the atoms that documents
// supplied are stored; the rows in between are nulls, produced again when the column is
// converted, so a column that few documents have costs nothing in the others' rows.
struct MergedColumn {
  const std::string* name = nullptr;  // the key of the name table, stable for the whole call
  Kind kind = Kind::Null;
  std::vector<Atom> atoms;  // supplied atoms, unconverted, in row order
  std::vector<Run> runs;    // where those atoms sit, in row order
};

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const noexcept {
    return std::hash<std::string_view>{}(name);
  }
};

using NameTable = std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>>;

// Moves an atom's payload into the document value of the same alternative.
void move_into(Value& value, Atom&& atom) {
  switch (atom.index()) {
    case 0: value.data.emplace<0>(); return;
    case 1: value.data.emplace<1>(std::get<1>(atom)); return;
    case 2: value.data.emplace<2>(std::get<2>(atom)); return;
    case 3: value.data.emplace<3>(std::get<3>(atom)); return;
    default: value.data.emplace<4>(std::move(std::get<4>(atom))); return;
  }
}

// Calls the value converter on every row of the column in row order, fillers included,
// and hands each converted atom to `sink`. The stored atoms are consumed.
template <typename Sink>
void convert_column(MergedColumn& column, std::int64_t total_rows, const CoercePolicy& policy,
                    Sink&& sink) {
  const Value null_value;
  Value value;
  auto convert = [&](const Value& input) {
    std::variant<Atom, std::string> result = policy.value_converter(column.kind, input,
                                                                    *column.name);
    if (result.index() != 0) fail(std::get<1>(result));
    sink(std::get<0>(result));
  };
  std::int64_t row = 0;
  std::size_t next = 0;
  for (const Run& run : column.runs) {
    for (; row < run.row; ++row) convert(null_value);
    for (std::size_t i = 0; i < run.count; ++i) {
      move_into(value, std::move(column.atoms[next++]));
      convert(value);
    }
    row += static_cast<std::int64_t>(run.count);
  }
  for (; row < total_rows; ++row) convert(null_value);
  std::vector<Atom>().swap(column.atoms);
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
std::shared_ptr<arrow::Array> build_primitive(MergedColumn& column, std::int64_t total_rows,
                                              const CoercePolicy& policy,
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

// String columns: converted strings are appended straight into the builder. The data is
// reserved for the bytes of the supplied strings (what the converter usually returns for a
// string column) when that fits the offset limit; appends stay checked, so a column past the
// limit fails with the capacity error at the first string that overflows. Building stops at
// the first problem in row order, which is reported once all atoms are converted.
std::shared_ptr<arrow::Array> build_string(MergedColumn& column, std::int64_t total_rows,
                                           const CoercePolicy& policy) {
  arrow::StringBuilder builder(arrow::default_memory_pool());
  check(builder.Reserve(total_rows));
  std::int64_t supplied_bytes = 0;
  for (const Atom& atom : column.atoms) {
    if (const auto* text = std::get_if<std::string>(&atom)) {
      supplied_bytes += static_cast<std::int64_t>(text->size());
    }
  }
  if (supplied_bytes <= arrow::StringBuilder::memory_limit()) {
    check(builder.ReserveData(supplied_bytes));
  }
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

std::shared_ptr<arrow::Array> build_column(MergedColumn& column, std::int64_t total_rows,
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

std::shared_ptr<arrow::DataType> type_of(Kind kind) {
  switch (kind) {
    case Kind::Null: return arrow::null();
    case Kind::Bool: return arrow::boolean();
    case Kind::Int64: return arrow::int64();
    case Kind::Double: return arrow::float64();
    default: return arrow::utf8();
  }
}

// Working state of one shred call.
class Merger {
 public:
  explicit Merger(const CoercePolicy& policy) : policy_(policy) {}

  // Appends the rows of one document's table.
  void add(ShredResult& result) {
    if (result.columns.empty() || result.columns.front()->size() == 0) return;
    const std::uint64_t rows = result.columns.front()->size();
    const std::size_t width = std::min(result.headers.size(), result.columns.size());
    if (previous_ids_.size() < width) previous_ids_.resize(width, kNoId);
    for (std::size_t j = 0; j < width; ++j) {
      MergedColumn& column = columns_[column_id(j, result.headers[j])];
      if (!column.runs.empty() &&
          column.runs.back().row + static_cast<std::int64_t>(column.runs.back().count) >
              total_rows_) {
        continue;  // a name repeated within one table: its first column stands
      }
      append(column, *result.columns[j], rows);
    }
    total_rows_ += static_cast<std::int64_t>(rows);
  }

  std::shared_ptr<arrow::RecordBatch> finish() {
    arrow::FieldVector fields;
    std::vector<std::shared_ptr<arrow::Array>> arrays;
    fields.reserve(columns_.size());
    arrays.reserve(columns_.size());
    for (MergedColumn& column : columns_) {
      std::shared_ptr<arrow::Array> array = build_column(column, total_rows_, policy_);
      fields.push_back(arrow::field(*column.name, type_of(column.kind), /*nullable=*/true));
      arrays.push_back(std::move(array));
    }
    return arrow::RecordBatch::Make(arrow::schema(std::move(fields)), total_rows_,
                                    std::move(arrays));
  }

 private:
  static constexpr std::uint32_t kNoId = UINT32_MAX;

  // The column of a header, registering a new name at the end of the column order.
  // Documents of one batch mostly repeat the headers of the one before at the same
  // positions, so that guess is tried before the name table.
  std::uint32_t column_id(std::size_t position, std::string& name) {
    std::uint32_t& guess = previous_ids_[position];
    if (guess != kNoId && *columns_[guess].name == name) return guess;
    auto found = names_.find(std::string_view(name));
    if (found == names_.end()) {
      found = names_.emplace(std::move(name), static_cast<std::uint32_t>(columns_.size())).first;
      columns_.emplace_back().name = &found->first;
    }
    guess = found->second;
    return guess;
  }

  // Takes over the first `rows` atoms of `source`, asking the resolver for every atom after
  // the column's first one.
  void append(MergedColumn& column, IColumn& source, std::uint64_t rows) {
    std::span<Atom> atoms = source.storage();
    const std::size_t count = std::min<std::uint64_t>(atoms.size(), rows);
    if (!column.runs.empty() &&
        column.runs.back().row + static_cast<std::int64_t>(column.runs.back().count) ==
            total_rows_) {
      column.runs.back().count += count;
    } else {
      column.runs.push_back(Run{total_rows_, count});
    }
    for (std::size_t i = 0; i < count; ++i) {
      const Kind incoming = static_cast<Kind>(atoms[i].index());
      if (column.atoms.empty()) {
        column.kind = incoming;
      } else {
        std::optional<Kind> kind = policy_.kind_resolver(column.kind, incoming, *column.name);
        if (!kind) fail("schema conflict at " + *column.name);
        column.kind = *kind;
      }
      column.atoms.push_back(std::move(atoms[i]));
    }
    // A column shorter than the table fails as reading its next row would.
    if (count < rows) source.at(count);
  }

  const CoercePolicy& policy_;
  NameTable names_;
  std::vector<MergedColumn> columns_;  // in order of first registration
  std::vector<std::uint32_t> previous_ids_;
  std::int64_t total_rows_ = 0;
};

}  // namespace

Controller::Controller(std::unique_ptr<DocumentCodec> codec,
                       std::vector<std::reference_wrapper<DomModifier>> modifiers,
                       CoercePolicy policy)
    : codec_(std::move(codec)), modifiers_(std::move(modifiers)), policy_(std::move(policy)) {}

std::shared_ptr<arrow::RecordBatch> Controller::shred(
    const std::shared_ptr<arrow::RecordBatch>& input) {
  codec_->ValidateInput(input);
  if (!input) fail("null RecordBatch");
  const std::int64_t rows = input->num_rows();
  Merger merger(policy_);
  for (std::int64_t row = 0; row < rows; ++row) {
    Object document = codec_->ToDom(input, row);
    for (DomModifier& modifier : modifiers_) modifier.modify(document);
    ShredResult result = shredder_.Shred(document);
    merger.add(result);
  }
  return merger.finish();
}

std::shared_ptr<arrow::RecordBatch> Controller::unshred(
    const std::shared_ptr<arrow::RecordBatch>& atoms) {
  if (!atoms) fail("null RecordBatch");
  if (atoms->num_columns() < 1) fail("atoms batch has no columns");
  // Every column must hold the batch's rows before its cells are read.
  check(atoms->Validate());
  const std::int64_t rows = atoms->num_rows();
  ShredResult table;
  table.headers.reserve(static_cast<std::size_t>(atoms->num_columns()));
  table.columns.reserve(static_cast<std::size_t>(atoms->num_columns()));
  for (int c = 0; c < atoms->num_columns(); ++c) {
    table.headers.push_back(atoms->schema()->field(c)->name());
    table.columns.push_back(
        std::make_unique<VectorColumn>(ReadAtomColumn(*atoms->column(c), rows)));
  }
  std::vector<Object> documents = shredder_.Unshred(table);
  return codec_->FromDom(documents);
}

}  // namespace shredder
