#pragma once

// The unshred units name the cell view and its helpers unqualified.

#include "shredder/cell_view.h"

namespace shredder::unshred_internal {
using shred_internal::CellView;
using shred_internal::CompareCells;
using shred_internal::IdenticalCells;
using shred_internal::KindBit;
using shred_internal::ViewOf;
}  // namespace shredder::unshred_internal
