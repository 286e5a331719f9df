// Exact mode's shred: every document kept whole, in rounds until the batch's column names
// settle (see `Controller::ExactMode`).

#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "arrow/record_batch.h"
#include "controller/atom_arrays.h"
#include "controller/carried_plan.h"
#include "controller/column_store.h"
#include "controller/controller_internal.h"
#include "shredder/controller.h"
#include "shredder/error.h"
#include "shredder/exact_plan.h"
#include "shredder/integer_literals.h"
#include "shredder/json_writer.h"
#include "shredder/normalizer.h"
#include "shredder/shredding.h"
#include "shredder/tagger.h"

namespace shredder {

using controller_internal::Fail;
namespace {

// A plan rarely needs more than one round: rescuing the members it names makes new rescue
// columns, whose names only contrived keys ("_rest" under a key ending in "_") can share.
constexpr int kMaxExactRounds = 4;

// The stamps of a document after exact mode's Normalizer: those of its objects as they came
// in, for the objects it is left with. Where no object was set aside or moved, they are the
// stamps as computed.
class ExactStamps {
 public:
  const shredding::Stamps& For(const shredding::Stamps& original,
                                    const Normalizer::ExactView& view) {
    bool same = view.objects.size() == original.objects.size();
    for (std::size_t i = 0; same && i < view.objects.size(); ++i) {
      same = view.objects[i] == original.objects[i];
    }
    if (same) {
      stamps_ = original;
      return stamps_;
    }
    objects_.assign(view.objects.begin(), view.objects.end());
    obj_ids_.clear();
    for (std::uint32_t origin : view.origins) obj_ids_.push_back(original.obj_ids[origin]);
    stamps_ = shredding::Stamps{objects_, obj_ids_, original.txn_id};
    return stamps_;
  }

 private:
  shredding::Stamps stamps_;
  std::vector<const Object*> objects_;
  std::vector<Value> obj_ids_;
};

// Writes each object's rescued members as the JSON text of its "__rest" member.
void WriteRests(Normalizer::ExactView& view, std::string& text) {
  for (Normalizer::ExactView::Rest& rest : view.rests) {
    text.clear();
    json_writer::Writer<json_writer::Dialect::Json> writer(text);
    if (rest.literals.empty()) {
      writer.WriteObject(rest.members);
    } else {
      writer.WriteObject(rest.members, rest.literals);
    }
    rest.object->insert_or_assign(std::string(kRestKey), Value(text));
  }
}

}  // namespace

std::shared_ptr<arrow::RecordBatch> Controller::shred_exact(
    const std::shared_ptr<arrow::RecordBatch>& input, std::vector<Error>* refused) {
  codec_->ValidateInput(input);
  if (!input) Fail(ErrorCode::BadBatch, "null RecordBatch");
  const std::int64_t rows = input->num_rows();
  Normalizer& normalizer = *exact_.normalizer;
  // The stamps are computed beside the documents, which the Tagger's log lines do not follow.
  struct QuietTagger {
    Tagger& tagger;
    const bool debug = tagger.options().debug;
    ~QuietTagger() { tagger.set_debug(debug); }
  } quiet{*exact_.tagger};
  exact_.tagger->set_debug(false);
  ExactPlan start;
  start.owners = exact_.owners;
  ExactPlan plan = start;
  // The batch starts from what the batch before found first, a guess its first round confirms
  // or drops (carried_plan.h); a dropped guess costs the batch one more round.
  bool guessing = exact_.carry_plan && !carried_.empty();
  for (const auto& [name, code] : guessing ? carried_ : controller_internal::Owners{}) {
    if (plan.owners.emplace(name, code).second) plan.guessed.insert(name);
  }
  controller_internal::Owners first_found;
  Normalizer::ExactView view;
  ExactStamps stamps;
  std::string text;
  IntegerLiterals literals;
  // One round: every row through `plan` into `merger`. Returns whether a row was refused.
  auto read_rows = [&](controller_internal::Merger& merger) {
    bool any_refused = false;
    for (std::int64_t row = 0; row < rows; ++row) {
      bool normalized = false;  // whether the Normalizer, the only one to learn here, saw it
      try {
        Object document = codec_->ToDomWithLiterals(input, row, literals);
        // The ids are those of the document as it came in (an integer's text aside: its id
        // digests the double the document holds, as in plain mode).
        const shredding::Stamps original =
            controller_internal::ComputeStamps(*exact_.tagger, document);
        normalized = true;
        normalizer.modify_exact(document, plan, view, exact_.null_members_kept, &literals);
        WriteRests(view, text);
        merger.add_exact(document, stamps.For(original, view), row);
      } catch (...) {
        any_refused = true;
        fail_row(row, 0, refused);
        if (normalized) normalizer.rollback_document();
      }
      merger.check_size();
    }
    return any_refused;
  };
  for (int round = 1;; ++round) {
    controller_internal::Merger merger(policy_, known_.box_to_string, /*exact=*/true);
    if (refused != nullptr) refused->clear();
    view.guessed.clear();
    if (guessing) {
      guessing = false;
      bool confirmed = false;
      try {
        confirmed = !read_rows(merger) &&
                    controller_internal::GuessConfirmed(start, plan, view.guessed, merger);
      } catch (const std::bad_alloc&) {
        throw;
      } catch (...) {
        // Whatever failed, the batch read without the guess decides.
      }
      if (confirmed) return controller_internal::BuildAtomsBatch(merger);
      for (DomModifier& modifier : modifiers_) modifier.rollback_batch();
      for (DomModifier& modifier : modifiers_) modifier.begin_batch();
      plan = start;
      round = 0;
      continue;
    }
    read_rows(merger);
    ExactPlan more = merger.findings(plan);
    if (round == 1) first_found = controller_internal::FirstRoundAdditions(plan, more);
    if (more.empty()) {
      std::shared_ptr<arrow::RecordBatch> atoms = controller_internal::BuildAtomsBatch(merger);
      carried_ = std::move(first_found);
      return atoms;
    }
    if (round == kMaxExactRounds) {
      Fail(ErrorCode::TooLarge,
           "exact shred: the batch's column names did not settle after " +
               std::to_string(kMaxExactRounds) + " rounds; shred fewer documents per batch");
    }
    // The batch is read again from the shapes it started with.
    for (DomModifier& modifier : modifiers_) modifier.rollback_batch();
    for (DomModifier& modifier : modifiers_) modifier.begin_batch();
    plan.owners.merge(more.owners);
    plan.kinds.merge(more.kinds);
  }
}

}  // namespace shredder
