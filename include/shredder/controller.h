#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "arrow/type_fwd.h"
#include "shredder/coerce_policy.h"
#include "shredder/document_codec.h"
#include "shredder/error.h"
#include "shredder/dom_modifier.h"
#include "shredder/normalizer.h"
#include "shredder/tagger.h"
#include "shredder/shredder.h"

namespace shredder {

/// The pipeline codec -> modifiers -> shredder -> atoms batch, and its reverse.
/// Calls must not overlap; the modifiers must outlive the Controller.
class Controller {
 public:
  /// Exact mode's parts: the pipeline's Normalizer and Tagger, which must also be its
  /// modifiers, in that order, and the policy the shipped boxing one.
  struct ExactMode {
    Normalizer* normalizer;
    Tagger* tagger;
    /// Whether the codec writes members that are null as such (JSON text), rather than
    /// for every member a document lacks (struct columns), where they need no rescue.
    bool null_members_kept = true;
    /// Column names that keep one key list in every batch (name to its key list code, as
    /// `KeyListCode` makes it): a dataset's choice for names that its parts give to different
    /// members. Any other member that would make such a name is rescued.
    std::unordered_map<std::string, std::string> owners = {};
    /// Whether a batch starts from the names the batch before found in its first round, kept
    /// when the batch confirms it would have found the same (see `shred`). The atoms are the
    /// same either way; off, every batch with such names is read twice.
    bool carry_plan = true;
  };

  /// What the builder of a pipeline knows of parts it made itself, told to the Controller so
  /// that it takes their shortcuts; the results are the same either way. A part it is not
  /// told of is treated as any caller's: every modifier's `modify` runs and every callable
  /// of the policy is called.
  struct KnownParts {
    /// The last of the modifiers, made as a `Tagger` itself (not a subclass, whose `modify`
    /// may do more). Outside debug mode, whose lines only `modify` writes, its stamps are
    /// walked beside each document instead of written into it.
    Tagger* tagger = nullptr;
    /// The policy is `BoxToStringPolicy()` as made, neither callable replaced: the columns'
    /// kinds are settled and their values converted inline, without calling it.
    bool box_to_string = false;
  };

  /// How `unshred` gives documents back.
  struct UnshredOptions {
    /// Keep the stamps "__txn_id" and "__obj_id" in every object rebuilt from the columns.
    bool stamps = true;
  };

  /// A pipeline whose parts the Controller is told nothing of.
  Controller(std::unique_ptr<DocumentCodec> codec,
             std::vector<std::reference_wrapper<DomModifier>> modifiers, CoercePolicy policy)
      : Controller(std::move(codec), std::move(modifiers), std::move(policy), KnownParts{}) {}
  /// Told of `known` parts. Throws `Error` "Controller: the known Tagger must
  /// be the last modifier" when `known.tagger` is set to anything else.
  Controller(std::unique_ptr<DocumentCodec> codec,
             std::vector<std::reference_wrapper<DomModifier>> modifiers, CoercePolicy policy,
             KnownParts known);
  /// An exact pipeline: every document is kept whole. The ids are the digests of the
  /// documents as they come in; what the columns cannot hold is rescued into each object's
  /// "__rest" member (see `Normalizer::modify_exact`), and the atoms carry the column
  /// "__doc", every row's input row, so that `unshred` gives back every document, repeats
  /// included, in input order. Only what the codec cannot read and the size bounds refuse.
  Controller(std::unique_ptr<DocumentCodec> codec,
             std::vector<std::reference_wrapper<DomModifier>> modifiers, CoercePolicy policy,
             ExactMode exact)
      : Controller(std::move(codec), std::move(modifiers), std::move(policy), std::move(exact),
                   KnownParts{}) {}
  /// An exact pipeline told of `known` parts, refused as above.
  Controller(std::unique_ptr<DocumentCodec> codec,
             std::vector<std::reference_wrapper<DomModifier>> modifiers, CoercePolicy policy,
             ExactMode exact, KnownParts known);

  /// Shreds every row of `input` into one atoms batch. Every failure is an `Error`; a
  /// failure of one row (its document cannot be read, normalised, tagged, shredded or merged)
  /// carries the row (`Error::row`), failures of the whole batch (validation, size limits,
  /// building the columns) carry none. Memory exhaustion passes as std::bad_alloc.
  /// All or nothing: when it throws, every modifier is rolled back to its state before the
  /// call, so the documents of a failed call leave no trace in later calls.
  std::shared_ptr<arrow::RecordBatch> shred(const std::shared_ptr<arrow::RecordBatch>& input);

  /// As `shred`, but a row whose document fails is set aside instead of failing the call:
  /// `refused` holds its error (with the row), in row order, and the atoms hold the other
  /// rows, as `shred` of the batch without the refused rows gives them, numbered ("__doc")
  /// by their rows in `input`. The modifiers keep nothing of a refused document
  /// (`DomModifier::rollback_document`), so later documents meet the shapes they would have
  /// met had it never been read. Failures of the whole batch still throw, leaving `refused`
  /// empty.
  std::shared_ptr<arrow::RecordBatch> shred(const std::shared_ptr<arrow::RecordBatch>& input,
                                            std::vector<Error>& refused);

  /// Judges every row's document on its own, after the documents before it: each goes through
  /// the codec, the modifiers and the shredder's checks one after another as in `shred`, and
  /// within the bounds a shred of that document alone applies, but no atoms are built and a
  /// refused document does not stop the rest (the modifiers keep what every document before
  /// taught, as outside a batch). Returns one row per input row: "txn_id", the document's
  /// root `__txn_id` (null when refused, or when the root member is not a string, which a
  /// Tagger stamping the root never leaves); "refusal", the text of what refused it (binary,
  /// as it may quote input that is not UTF-8; null when accepted); "decided_by_earlier",
  /// whether a modifier changed or refused it for what earlier documents taught
  /// (`DomModifier::decided_by_earlier_documents`). A document not so decided is judged as a
  /// shred of it alone, through a fresh pipeline, judges it: the same digest, or a refusal
  /// with the same text. Throws only for the batch itself (validation) and memory exhaustion.
  std::shared_ptr<arrow::RecordBatch> digest(const std::shared_ptr<arrow::RecordBatch>& input);

  /// Rebuilds the documents of an atoms batch in the codec's form.
  /// Every column carries the keys of its path as field metadata ("shredder.keys", and
  /// "shredder.role" for index, rescue and document columns), which `unshred` places values
  /// by; a column without them is read by its name.
  /// With `refused`, a document that cannot be rebuilt or written is left out instead of
  /// failing the call; its error, carrying the row of the batch that holds its first atom,
  /// goes there, in document order. Failures of the whole batch (its columns) still throw.
  std::shared_ptr<arrow::RecordBatch> unshred(const std::shared_ptr<arrow::RecordBatch>& atoms,
                                              UnshredOptions options,
                                              std::vector<Error>* refused = nullptr);
  std::shared_ptr<arrow::RecordBatch> unshred(const std::shared_ptr<arrow::RecordBatch>& atoms) {
    return unshred(atoms, UnshredOptions{});
  }

  /// Whether this is an exact pipeline.
  bool exact() const { return exact_.normalizer != nullptr; }

  /// Exact mode: the owners the next batch starts from as a guess (what the last batch's
  /// first round added to its plan; see `ExactMode::carry_plan`), and setting them, for a
  /// Controller that goes on with more of the same data. Only a guess: any value leaves the
  /// atoms as they are.
  const std::unordered_map<std::string, std::string>& carried_owners() const {
    return carried_;
  }
  void carry_owners(std::unordered_map<std::string, std::string> owners) {
    carried_ = std::move(owners);
  }

 private:
  // The bracket of every shred: the modifiers begin, then commit or roll back the batch.
  std::shared_ptr<arrow::RecordBatch> shred_batch(const std::shared_ptr<arrow::RecordBatch>& input,
                                                  std::vector<Error>* refused);
  std::shared_ptr<arrow::RecordBatch> shred_plain(const std::shared_ptr<arrow::RecordBatch>& input,
                                                  std::vector<Error>* refused);
  std::shared_ptr<arrow::RecordBatch> shred_exact(const std::shared_ptr<arrow::RecordBatch>& input,
                                                  std::vector<Error>* refused);
  // Called while the failure of `row`'s document is being handled: rethrows it as an `Error`
  // carrying the row or, with `refused`, sets it aside there and rolls back the document in
  // the first `ran` modifiers. Memory exhaustion, no fault of the document, passes unchanged.
  void fail_row(std::int64_t row, std::size_t ran, std::vector<Error>* refused);

  std::unique_ptr<DocumentCodec> codec_;
  std::vector<std::reference_wrapper<DomModifier>> modifiers_;
  CoercePolicy policy_;
  KnownParts known_;
  Shredder shredder_;
  ExactMode exact_{nullptr, nullptr, true};
  // The owners the last batch's first round added to its plan: the next batch's guess.
  std::unordered_map<std::string, std::string> carried_;
};

}  // namespace shredder
