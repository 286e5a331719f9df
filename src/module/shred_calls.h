#pragma once

#include <pybind11/pybind11.h>

#include "module/controller_handle.h"

namespace shredder {

/// Shreds the documents of one column of the pyarrow.RecordBatch `rb` with the handle's
/// pipeline and returns the atoms batch as a new pyarrow.RecordBatch. `column` selects the
/// column: None (column 0), an int (bool included; no counting from the end) or a str (a
/// field name present exactly once). `debug` sets the handle's Tagger debug option for this
/// and later calls and, when true, writes the atoms schema to the native standard error.
/// Argument problems raise ValueError carrying the Arrow status text; an int outside the
/// 32-bit range raises RuntimeError; pipeline failures raise ValueError "shred failed: ...",
/// whose `row` names the failing row (see python_errors.h). With `skip`, a row whose document
/// fails is set aside instead (`Controller::shred` with refusals): the result is the tuple
/// (atoms, refused), refused a list of the ValueErrors its rows would have raised, in row
/// order; failures of the whole batch still raise. The interpreter lock stays held
/// throughout.
pybind11::object shred_arrow(ControllerHandle& handle, const pybind11::object& rb,
                             const pybind11::object& column, bool debug, bool skip);

/// Every document of `rb` judged on its own after the ones before it, through the handle
/// (`Controller::digest`): a new pyarrow.RecordBatch with one row per row of `rb` and the
/// columns "txn_id", "refusal" and "decided_by_earlier". Arguments are read, and failures of
/// the batch itself raised, as shred_arrow does it ("digest failed: ..."); the handle's Tagger
/// debug option is left as it is.
pybind11::object digest_arrow(ControllerHandle& handle, const pybind11::object& rb,
                              const pybind11::object& column);

/// Rebuilds the documents of the atoms batch `atoms_rb` and returns them as a new
/// pyarrow.RecordBatch in the form of the handle's codec. An argument that is not a
/// RecordBatch raises ValueError carrying the Arrow status text; pipeline failures raise
/// ValueError "unshred failed: ...". With `skip`, documents that cannot be rebuilt are left
/// out (`Controller::unshred` with refusals) and the result is (documents, refused), as for
/// shred_arrow.
pybind11::object unshred_arrow(ControllerHandle& handle, const pybind11::object& atoms_rb,
                               bool stamps, bool skip);

}  // namespace shredder
