#include "shredder/column_names.h"
#include "shredder/error.h"
#include "shredder/controller.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "arrow/array/array_base.h"
#include "arrow/array/array_binary.h"
#include "arrow/array/builder_binary.h"
#include "arrow/array/builder_primitive.h"
#include "arrow/record_batch.h"
#include "arrow/status.h"
#include "arrow/type.h"
#include "controller/atom_arrays.h"
#include "controller/carried_plan.h"
#include "controller/atoms_metadata.h"
#include "controller/atoms_reader.h"
#include "shredder/json_writer.h"
#include "controller/column_store.h"
#include "controller/controller_internal.h"
#include "shredder/shredding.h"
#include "shredder/unshredding.h"
#include "shredder/serialization.h"
#include "shredder/exact_plan.h"
#include "shredder/integer_literals.h"
#include "shredder/normalizer.h"
#include "shredder/tagger.h"

namespace shredder {
namespace controller_internal {

void Fail(ErrorCode code, std::string_view detail, std::string path) {
  std::string text = "Controller: ";
  text += detail;
  throw Error(code, std::move(text), std::move(path));
}

void CheckCells(std::uint64_t rows, std::uint64_t columns, std::string_view advice) {
  if (columns == 0 || rows <= kMaxAtomCells / columns) return;
  std::string detail = "atoms batch too large: " + std::to_string(rows) + " rows x " +
                       std::to_string(columns) + " columns exceeds " +
                       std::to_string(kMaxAtomCells) + " cells; ";
  detail += advice;
  Fail(ErrorCode::TooLarge, detail);
}

void CheckColumns(std::uint64_t columns) {
  if (columns <= shredding::kMaxShredColumns) return;
  Fail(ErrorCode::TooLarge, "atoms batch too wide: " + std::to_string(columns) +
                                " columns exceed the limit of " +
                                std::to_string(shredding::kMaxShredColumns) +
                                " columns; shred fewer documents per batch");
}

}  // namespace controller_internal

namespace {

using controller_internal::CheckCells;
using controller_internal::Fail;

// Arrow's failures while building: a bound passed, or else the engine's own fault.
void check(const arrow::Status& status) {
  if (!status.ok()) {
    Fail(status.IsCapacityError() ? ErrorCode::TooLarge : ErrorCode::Internal,
         status.ToString());
  }
}

// The bounds a shred of one document alone applies once the document is walked, for
// `Controller::digest`, which merges no columns: the Merger's cell bound (the document's rows
// times its names, every name a column) and Arrow's limit on the bytes of a string column
// built with 32-bit offsets (a member above an array counts once for every row it fills),
// the first column past it in the order the Merger registers them, with the size reached at
// the string that passes it. A document holds one kind per name (the walk refuses two), so
// none of its columns is boxed into text. `bytes` is scratch, kept between documents.
void CheckBoundsAlone(const shredding::DocumentTable& table,
                      std::vector<std::uint64_t>& bytes) {
  if (table.headers.empty() || table.row_count == 0) return;  // no column, as in the Merger
  const std::size_t width = table.headers.size();
  CheckCells(static_cast<std::uint64_t>(table.row_count), width,
             "shred fewer documents per batch");
  static constexpr std::uint64_t kStringLimit =
      static_cast<std::uint64_t>(arrow::StringBuilder::memory_limit());
  bytes.assign(2 * width, 0);  // the bytes of column j, then the size where it passed
  std::uint64_t* const sums = bytes.data();
  std::uint64_t* const overflow = bytes.data() + width;
  for (std::size_t r = 0; r < table.row_count; ++r) {
    const std::vector<shredding::Cell>& row = table.rows[r];
    const std::size_t written = std::min(row.size(), width);
    for (std::size_t j = 0; j < written; ++j) {
      if (shredding::AtomKindOf(row[j]) != Kind::String) continue;
      const std::uint64_t size =
          std::get<std::string>(shredding::LeafOf(row[j]).data).size();
      if (overflow[j] == 0 && sums[j] + size > kStringLimit) overflow[j] = sums[j] + size;
      sums[j] += size;
    }
  }
  for (std::size_t j = 0; j < width; ++j) {
    if (overflow[j] == 0) continue;
    Fail(ErrorCode::TooLarge, "Capacity error: array cannot contain more than " +
                                  std::to_string(kStringLimit) + " bytes, have " +
                                  std::to_string(overflow[j]));
  }
}

// The known Tagger when its stamps can be walked beside the document: outside debug mode,
// whose lines come from `modify`.
Tagger* TaggerBeside(Tagger* known) {
  return known != nullptr && !known->options().debug ? known : nullptr;
}

// The root `__txn_id`: the stamp walked beside the document, or else the root's member.
void append_txn_id(arrow::StringBuilder& digests, const Value* stamp, const Object& document) {
  if (stamp == nullptr) {
    const auto member = document.find(std::string(kTxnIdKey));
    if (member != document.end()) stamp = &member->second;
  }
  const std::string* text = stamp != nullptr ? std::get_if<std::string>(&stamp->data) : nullptr;
  check(text != nullptr ? digests.Append(*text) : digests.AppendNull());
}

}  // namespace

Controller::Controller(std::unique_ptr<DocumentCodec> codec,
                       std::vector<std::reference_wrapper<DomModifier>> modifiers,
                       CoercePolicy policy, KnownParts known)
    : codec_(std::move(codec)),
      modifiers_(std::move(modifiers)),
      policy_(std::move(policy)),
      known_(known) {
  if (known_.tagger != nullptr &&
      (modifiers_.empty() || &modifiers_.back().get() != known_.tagger)) {
    throw Error(ErrorCode::BadArgument, "Controller: the known Tagger must be the last modifier");
  }
}

Controller::Controller(std::unique_ptr<DocumentCodec> codec,
                       std::vector<std::reference_wrapper<DomModifier>> modifiers,
                       CoercePolicy policy, ExactMode exact, KnownParts known)
    : Controller(std::move(codec), std::move(modifiers), std::move(policy), known) {
  exact_ = std::move(exact);
}

void Controller::fail_row(std::int64_t row, std::size_t ran, std::vector<Error>* refused) {
  try {
    throw;
  } catch (Error& error) {
    error.set_row(row);
    if (refused == nullptr) throw;
    refused->push_back(error);
  } catch (const std::bad_alloc&) {
    throw;  // no fault of the document
  } catch (const std::exception& error) {
    Error located(ErrorCode::Internal, error.what());
    located.set_row(row);
    if (refused == nullptr) throw located;
    refused->push_back(std::move(located));
  }
  // Newest first, as each undoes only what its own last `modify` learned.
  for (std::size_t m = ran; m-- > 0;) modifiers_[m].get().rollback_document();
}

std::shared_ptr<arrow::RecordBatch> Controller::shred(
    const std::shared_ptr<arrow::RecordBatch>& input) {
  return shred_batch(input, nullptr);
}

std::shared_ptr<arrow::RecordBatch> Controller::shred(
    const std::shared_ptr<arrow::RecordBatch>& input, std::vector<Error>& refused) {
  refused.clear();
  return shred_batch(input, &refused);
}

std::shared_ptr<arrow::RecordBatch> Controller::shred_batch(
    const std::shared_ptr<arrow::RecordBatch>& input, std::vector<Error>* refused) {
  for (DomModifier& modifier : modifiers_) modifier.begin_batch();
  std::shared_ptr<arrow::RecordBatch> atoms;
  try {
    atoms = exact() ? shred_exact(input, refused) : shred_plain(input, refused);
  } catch (...) {
    for (DomModifier& modifier : modifiers_) modifier.rollback_batch();
    if (refused != nullptr) refused->clear();
    throw;
  }
  for (DomModifier& modifier : modifiers_) modifier.commit_batch();
  return atoms;
}

std::shared_ptr<arrow::RecordBatch> Controller::shred_plain(
    const std::shared_ptr<arrow::RecordBatch>& input, std::vector<Error>* refused) {
  codec_->ValidateInput(input);
  if (!input) Fail(ErrorCode::BadBatch, "null RecordBatch");
  const std::int64_t rows = input->num_rows();
  controller_internal::Merger merger(policy_, known_.box_to_string);
  // A known Tagger, which runs last, leaves its stamps beside the document for the Merger
  // to walk, instead of in the tree.
  Tagger* const tagger = TaggerBeside(known_.tagger);
  const std::size_t modified = modifiers_.size() - (tagger != nullptr ? 1 : 0);
  for (std::int64_t row = 0; row < rows; ++row) {
    std::size_t ran = 0;  // the modifiers that saw this document, the failing one included
    try {
      Object document = codec_->ToDom(input, row);
      while (ran < modified) modifiers_[ran++].get().modify(document);
      // The Merger shreds the document as `Shredder::Shred` would, straight into its
      // columns.
      if (tagger != nullptr) {
        merger.add(document, *tagger);
      } else {
        merger.add(document);
      }
    } catch (...) {
      fail_row(row, ran, refused);
    }
    merger.check_size();
  }
  return controller_internal::BuildAtomsBatch(merger);
}

std::shared_ptr<arrow::RecordBatch> Controller::digest(
    const std::shared_ptr<arrow::RecordBatch>& input) {
  codec_->ValidateInput(input);
  if (!input) Fail(ErrorCode::BadBatch, "null RecordBatch");
  const std::int64_t rows = input->num_rows();
  arrow::StringBuilder digests;
  arrow::BinaryBuilder refusals;  // an error may quote input that is not UTF-8
  arrow::BooleanBuilder changed;
  check(digests.Reserve(rows));
  check(refusals.Reserve(rows));
  check(changed.Reserve(rows));
  const bool boxes = known_.box_to_string;
  // As in `shred`, a known Tagger stamps beside the document; a policy other than boxing is
  // applied by a Merger, which walks as `shred` walks.
  Tagger* const tagger = boxes ? TaggerBeside(known_.tagger) : nullptr;
  const std::size_t before_tagger = modifiers_.size() - (tagger != nullptr ? 1 : 0);
  shredding::TableWalker walker;
  std::vector<std::uint64_t> scratch;
  for (std::int64_t row = 0; row < rows; ++row) {
    bool by_earlier = false;
    std::size_t modified = 0;  // the modifiers called on this document
    try {
      Object document = codec_->ToDom(input, row);
      if (exact()) {
        // Exact ids are digests of the documents as they come in, whatever came before.
        const TaggerStamps stamps = StampAccess::Compute(*exact_.tagger, document);
        append_txn_id(digests, stamps.txn_id, document);
        check(refusals.AppendNull());
        check(changed.Append(false));
        continue;
      }
      for (; modified < before_tagger; ++modified) {
        DomModifier& modifier = modifiers_[modified];
        modifier.modify(document);
        by_earlier = by_earlier || modifier.decided_by_earlier_documents();
      }
      // The bounds of a shred of this document alone: the walk holds every refusal of one
      // document that the Merger's inline boxing adds nothing to, the bounds those of its
      // batch of one. Any other policy is applied as such a shred applies it.
      const Value* txn_id = nullptr;
      if (tagger != nullptr) {
        CheckBoundsAlone(controller_internal::WalkTagged(walker, document, *tagger, txn_id),
                         scratch);
      } else if (boxes) {
        CheckBoundsAlone(walker.Walk(document), scratch);
      } else {
        controller_internal::Merger merger(policy_, /*boxing=*/false);
        merger.add(document);
        merger.check_size();
        controller_internal::BuildAtomsBatch(merger);
      }
      append_txn_id(digests, txn_id, document);
      check(refusals.AppendNull());
    } catch (const std::bad_alloc&) {
      throw;  // no fault of the document
    } catch (const std::exception& error) {
      // A modifier that refused may have refused for what earlier documents taught.
      if (modified < before_tagger) {
        by_earlier = by_earlier || modifiers_[modified].get().decided_by_earlier_documents();
      }
      check(digests.AppendNull());
      check(refusals.Append(std::string_view(error.what())));
    }
    check(changed.Append(by_earlier));
  }
  std::shared_ptr<arrow::Array> digest_array;
  std::shared_ptr<arrow::Array> refusal_array;
  std::shared_ptr<arrow::Array> changed_array;
  check(digests.Finish(&digest_array));
  check(refusals.Finish(&refusal_array));
  check(changed.Finish(&changed_array));
  static const auto kSchema = arrow::schema({arrow::field("txn_id", arrow::utf8()),
                                             arrow::field("refusal", arrow::binary()),
                                             arrow::field("decided_by_earlier", arrow::boolean())});
  return arrow::RecordBatch::Make(kSchema, rows, {digest_array, refusal_array, changed_array});
}

std::shared_ptr<arrow::RecordBatch> Controller::unshred(
    const std::shared_ptr<arrow::RecordBatch>& atoms, UnshredOptions options,
    std::vector<Error>* refused) {
  if (refused != nullptr) refused->clear();
  if (!atoms) Fail(ErrorCode::BadBatch, "null RecordBatch");
  if (atoms->num_columns() < 1) Fail(ErrorCode::BadAtoms, "atoms batch has no columns");
  // Every column must hold the batch's rows, and every offset and string be sound, before
  // any cell is read in place.
  if (const arrow::Status valid = atoms->ValidateFull(); !valid.ok()) {
    Fail(ErrorCode::BadAtoms, valid.ToString());
  }
  const std::int64_t rows = atoms->num_rows();
  // The bound of the shred direction, so that a batch shredded within it always unshreds.
  CheckCells(static_cast<std::uint64_t>(rows), static_cast<std::uint64_t>(atoms->num_columns()),
              "unshred fewer documents per batch");
  // The cells are read where they lie in the batch's buffers; the documents are exactly those
  // that `Shredder::Unshred` rebuilds from the columns read into atoms.
  std::vector<std::string> headers;
  std::vector<unshredding::RawColumn> columns;
  headers.reserve(static_cast<std::size_t>(atoms->num_columns()));
  columns.reserve(static_cast<std::size_t>(atoms->num_columns()));
  unshredding::UnshredLayout layout;
  layout.stamps = options.stamps;
  bool described = false;
  for (int c = 0; c < atoms->num_columns(); ++c) {
    const arrow::Field& field = *atoms->schema()->field(c);
    headers.push_back(field.name());
    columns.push_back(controller_internal::ReadRawColumn(*atoms->column(c)));
    controller_internal::ColumnPath path = controller_internal::ReadColumnPath(field);
    described = described || path.keyed || path.document;
    layout.columns.push_back(unshredding::ColumnLayout{path.keyed, path.document,
                                                            std::move(path.keys), path.role});
  }
  // Atoms that say nothing beyond their names are read as they always were.
  if (!described && options.stamps) layout.columns.clear();
  return unshredding::UnshredToBatch(*codec_, headers, columns,
                                          static_cast<std::uint64_t>(rows), &layout, refused);
}

}  // namespace shredder

