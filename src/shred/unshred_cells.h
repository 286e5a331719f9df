#pragma once

// The unshred units name the cell view and its helpers unqualified.

#include "shredder/cell_view.h"

namespace shredder::unshredding {
using shredding::CellView;
using shredding::CompareCells;
using shredding::IdenticalCells;
using shredding::KindBit;
using shredding::ViewOf;
}  // namespace shredder::unshredding
