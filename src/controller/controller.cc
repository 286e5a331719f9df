#include "shredder/controller.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "arrow/array/array_base.h"
#include "arrow/array/array_binary.h"
#include "arrow/array/builder_binary.h"
#include "arrow/record_batch.h"
#include "arrow/status.h"
#include "arrow/type.h"
#include "controller/atom_arrays.h"
#include "controller/atoms_reader.h"
#include "controller/column_store.h"
#include "controller/controller_internal.h"
#include "model/coerce_policy_internal.h"
#include "shred/shred_internal.h"
#include "shred/unshred_internal.h"
#include "shredder/serialization.h"

namespace shredder {
namespace controller_internal {

void Fail(std::string_view detail) {
  std::string text = "Controller: ";
  text += detail;
  throw std::runtime_error(text);
}

void CheckCells(std::uint64_t rows, std::uint64_t columns, std::string_view advice) {
  if (columns == 0 || rows <= kMaxAtomCells / columns) return;
  std::string detail = "atoms batch too large: " + std::to_string(rows) + " rows x " +
                       std::to_string(columns) + " columns exceeds " +
                       std::to_string(kMaxAtomCells) + " cells; ";
  detail += advice;
  Fail(detail);
}

}  // namespace controller_internal

namespace {

using controller_internal::CheckCells;
using controller_internal::Fail;

void check(const arrow::Status& status) {
  if (!status.ok()) Fail(status.ToString());
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

// The bounds that `shred` applies to a whole batch once its documents are shredded, kept for
// `Controller::digest`, which merges no columns. The cell bound is the Merger's `check_size`:
// the batch's rows times the names of all its documents (every name a document registers
// becomes a column of the batch). A string column is built with 32-bit offsets, so a column
// whose strings (every row of a member above an array counted again) pass Arrow's limit is
// refused when it is built: the first such column in order of first registration (the order
// of the walker's name numbers), with the size reached at the first string that overflows.
//
// A column that holds strings in one document and other scalars in another is built with the
// other scalars boxed into text, whose bytes are not counted here: its strings alone past the
// limit are refused here with the size they reach (`shred` names a larger one), and a column
// past it only with the boxed texts is refused by `shred` alone. Such a column needs two
// documents (a document holding both in one name is refused by the walk), so it never exists
// in the batch of one document: every bound that `shred` applies to one document alone is
// applied here exactly, and a document this pass accepts, alone or in a batch (the sums of a
// batch are at least those of each of its documents), is never refused by `shred` alone for
// its size. Memory running out is no fault of a document and fails both alike.
class BatchBounds {
 public:
  void add(const shred_internal::DocumentTable& table) {
    if (table.headers.empty() || table.row_count == 0) return;  // no column, as in the Merger
    for (const std::uint32_t name : table.headers) {
      if (name >= columns_.size()) columns_.resize(name + 1);
      if (!columns_[name].seen) {
        columns_[name].seen = true;
        ++column_count_;
      }
    }
    total_rows_ += static_cast<std::int64_t>(table.row_count);
    const std::size_t width = table.headers.size();
    for (std::size_t r = 0; r < table.row_count; ++r) {
      const std::vector<shred_internal::Cell>& row = table.rows[r];
      const std::size_t written = std::min(row.size(), width);
      for (std::size_t j = 0; j < written; ++j) {
        if (shred_internal::AtomKindOf(row[j]) != 4) continue;
        Column& column = columns_[table.headers[j]];
        const std::uint64_t size =
            std::get<std::string>(shred_internal::LeafOf(row[j]).data).size();
        if (column.overflow == 0 && column.bytes + size > kStringLimit) {
          column.overflow = column.bytes + size;
        }
        column.bytes += size;
      }
    }
  }

  void check_size() const {
    CheckCells(static_cast<std::uint64_t>(total_rows_), column_count_,
               "shred fewer documents per batch");
  }

  void check_strings() const {
    for (const Column& column : columns_) {
      if (column.overflow == 0) continue;
      Fail("Capacity error: array cannot contain more than " + std::to_string(kStringLimit) +
           " bytes, have " + std::to_string(column.overflow));
    }
  }

 private:
  static constexpr std::uint64_t kStringLimit =
      static_cast<std::uint64_t>(arrow::StringBuilder::memory_limit());

  struct Column {
    bool seen = false;
    std::uint64_t bytes = 0;
    std::uint64_t overflow = 0;  // the size at the first string past the limit, or 0
  };

  std::vector<Column> columns_;  // by the walker's name number
  std::uint64_t column_count_ = 0;
  std::int64_t total_rows_ = 0;
};

void append_txn_id(arrow::StringBuilder& digests, const Object& document) {
  const auto member = document.find("__txn_id");
  const std::string* text =
      member == document.end() ? nullptr : std::get_if<std::string>(&member->second.data);
  check(text != nullptr ? digests.Append(*text) : digests.AppendNull());
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
    if (!input) Fail("null RecordBatch");
    const std::int64_t rows = input->num_rows();
    controller_internal::Merger merger(policy_);
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
    atoms = controller_internal::BuildAtomsBatch(merger);
  } catch (...) {
    for (DomModifier& modifier : modifiers_) modifier.rollback_batch();
    throw;
  }
  for (DomModifier& modifier : modifiers_) modifier.commit_batch();
  return atoms;
}

std::shared_ptr<arrow::StringArray> Controller::digest(
    const std::shared_ptr<arrow::RecordBatch>& input) {
  for (DomModifier& modifier : modifiers_) modifier.begin_batch();
  std::shared_ptr<arrow::Array> digests;
  try {
    codec_->ValidateInput(input);
    if (!input) Fail("null RecordBatch");
    const std::int64_t rows = input->num_rows();
    arrow::StringBuilder builder;
    check(builder.Reserve(rows));
    if (coerce_internal::IsBoxToStringPolicy(policy_)) {
      // The walk holds every refusal of one document that the Merger's inline boxing adds
      // nothing to; the bounds hold those of the batch (see BatchBounds).
      shred_internal::TableWalker walker;
      BatchBounds bounds;
      for (std::int64_t row = 0; row < rows; ++row) {
        try {
          Object document = codec_->ToDom(input, row);
          for (DomModifier& modifier : modifiers_) modifier.modify(document);
          bounds.add(walker.Walk(document));
          append_txn_id(builder, document);
        } catch (...) {
          rethrow_at_row(row);
        }
        bounds.check_size();
      }
      bounds.check_strings();
    } else {
      // Any other policy may refuse a cell for what earlier documents put in its column, or
      // when converting it: the columns are merged and built exactly as `shred` does.
      controller_internal::Merger merger(policy_);
      for (std::int64_t row = 0; row < rows; ++row) {
        try {
          Object document = codec_->ToDom(input, row);
          for (DomModifier& modifier : modifiers_) modifier.modify(document);
          merger.add(document);
          append_txn_id(builder, document);
        } catch (...) {
          rethrow_at_row(row);
        }
        merger.check_size();
      }
      controller_internal::BuildAtomsBatch(merger);
    }
    check(builder.Finish(&digests));
  } catch (...) {
    for (DomModifier& modifier : modifiers_) modifier.rollback_batch();
    throw;
  }
  for (DomModifier& modifier : modifiers_) modifier.commit_batch();
  return std::static_pointer_cast<arrow::StringArray>(digests);
}

std::shared_ptr<arrow::RecordBatch> Controller::unshred(
    const std::shared_ptr<arrow::RecordBatch>& atoms) {
  if (!atoms) Fail("null RecordBatch");
  if (atoms->num_columns() < 1) Fail("atoms batch has no columns");
  // Every column must hold the batch's rows, and every offset and string be sound, before
  // any cell is read in place.
  check(atoms->ValidateFull());
  const std::int64_t rows = atoms->num_rows();
  // The bound of the shred direction, so that a batch shredded within it always unshreds.
  CheckCells(static_cast<std::uint64_t>(rows), static_cast<std::uint64_t>(atoms->num_columns()),
              "unshred fewer documents per batch");
  // The cells are read where they lie in the batch's buffers; the documents are exactly those
  // that `Shredder::Unshred` rebuilds from the columns read into atoms.
  std::vector<std::string> headers;
  std::vector<unshred_internal::RawColumn> columns;
  headers.reserve(static_cast<std::size_t>(atoms->num_columns()));
  columns.reserve(static_cast<std::size_t>(atoms->num_columns()));
  for (int c = 0; c < atoms->num_columns(); ++c) {
    headers.push_back(atoms->schema()->field(c)->name());
    columns.push_back(controller_internal::ReadRawColumn(*atoms->column(c)));
  }
  return unshred_internal::UnshredToBatch(*codec_, headers, columns,
                                          static_cast<std::uint64_t>(rows));
}

}  // namespace shredder

