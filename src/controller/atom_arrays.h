#pragma once

// The Arrow arrays of an atoms batch, built from the merged columns.

#include <memory>

#include "controller/column_store.h"

namespace arrow {
class RecordBatch;
}

namespace shredder::controller_internal {

/// The atoms batch of everything `merger` merged: one nullable field per column in order of
/// first registration, its type the kind the policy settled on (null, boolean, int64,
/// float64, utf8), every cell converted as the policy's converter converts it. Each column's
/// stored cells are released once its array is built. Throws (through `Fail`) a conversion
/// error, a misfit atom or an Arrow failure, at the first column in order that has one.
std::shared_ptr<arrow::RecordBatch> BuildAtomsBatch(Merger& merger);

}  // namespace shredder::controller_internal
