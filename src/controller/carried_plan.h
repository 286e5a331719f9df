#pragma once

// Exact mode's guess of a batch's plan from the batch before. Data of one kind tends to make
// the same names with several key lists in every batch (GitHub events: "labels_url" beside
// "labels"/"url"), and each such batch is read twice: a first round finds the names, a second
// rescues the members that lose them. A batch that starts with the names the batch before
// found in its first round, and confirms that its own first round would have found exactly
// those, has run its second round first and is done after one.

#include <string>
#include <unordered_map>
#include <vector>

#include "controller/column_store.h"
#include "shredder/exact_plan.h"
#include "shredder/normalizer.h"

namespace shredder::controller_internal {

/// Column names to their owners' key list codes, as in `ExactPlan::owners`.
using Owners = std::unordered_map<std::string, std::string>;

/// What the next batch guesses from a first round that started from `plan` and found
/// `found`: the owners it adds to the plan. Nothing when it found kinds, which are never
/// guessed.
Owners FirstRoundAdditions(const ExactPlan& plan, const ExactPlan& found);

/// Whether the round just merged in `merger`, run with `plan` (`start` and the guessed owners
/// of `plan.guessed`), is the round the batch would have run second: its own first round,
/// from `start`, would have added exactly the guessed owners and no kinds, and this round
/// finds nothing more. `set_aside` lists what the Normalizer set aside for the guesses alone
/// (`Normalizer::ExactView::guessed`); those first-round members, kept there, would each
/// have made one cell of the name they make, and nothing else.
bool GuessConfirmed(const ExactPlan& start, const ExactPlan& plan,
                    const std::vector<Normalizer::ExactView::Guessed>& set_aside,
                    const Merger& merger);

}  // namespace shredder::controller_internal
