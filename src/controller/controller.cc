#include "shredder/controller.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

#include "arrow/array/array_base.h"
#include "arrow/record_batch.h"
#include "arrow/status.h"
#include "arrow/type.h"
#include "controller/atom_arrays.h"
#include "controller/atoms_reader.h"
#include "controller/column_store.h"
#include "controller/controller_internal.h"
#include "shred/unshred_internal.h"
#include "shredder/serialization.h"
#include "shredder/tagger.h"

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
    // A Tagger that runs last (itself, not a subclass; its debug lines come from `modify`)
    // leaves its stamps beside the document for the Merger to walk, instead of in the tree.
    Tagger* tagger = nullptr;
    if (!modifiers_.empty() && typeid(modifiers_.back().get()) == typeid(Tagger)) {
      tagger = &static_cast<Tagger&>(modifiers_.back().get());
      if (tagger->options().debug) tagger = nullptr;
    }
    const std::size_t modified = modifiers_.size() - (tagger != nullptr ? 1 : 0);
    for (std::int64_t row = 0; row < rows; ++row) {
      try {
        Object document = codec_->ToDom(input, row);
        for (std::size_t m = 0; m < modified; ++m) modifiers_[m].get().modify(document);
        // The Merger shreds the document as `Shredder::Shred` would, straight into its
        // columns.
        if (tagger != nullptr) {
          merger.add(document, *tagger);
        } else {
          merger.add(document);
        }
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

