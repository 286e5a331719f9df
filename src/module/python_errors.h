#pragma once

#include <exception>
#include <string>
#include <string_view>

#include <pybind11/pybind11.h>

namespace shredder {

// The one place where failures of the module become Python exceptions. Each function sets
// the Python error and throws pybind11::error_already_set, which the binding layer hands to
// the caller unchanged. Texts are decoded as UTF-8 with undecodable bytes shown as
// backslash escapes, so a message that quotes raw input bytes still arrives as the
// documented exception type.

/// Raises ValueError(text).
[[noreturn]] void raise_value_error(std::string_view text);

/// Raises ValueError(prefix + error.what()) for a failure of `Controller::shred`, with the
/// attribute `row`: the row of the batch that failed (an int) when `error` is a `RowError`,
/// otherwise None (the whole batch failed).
[[noreturn]] void raise_shred_error(const std::exception& error, std::string_view prefix);

/// Raises ValueError(text) with the attribute `row` set to None: a failure of `shred_arrow`
/// that concerns the whole batch (its arguments).
[[noreturn]] void raise_batch_value_error(std::string_view text);

/// Raises ValueError(prefix + "<type name>: <message>") describing the Python error held by
/// `cause`, with that error attached as the new exception's __cause__. With `batch_failure`,
/// the exception also has the attribute `row` set to None.
[[noreturn]] void raise_value_error_from(pybind11::error_already_set& cause,
                                         std::string_view prefix, bool batch_failure = false);

/// Raises RuntimeError(text); used for the binding library's failed argument conversions.
[[noreturn]] void raise_runtime_error(std::string_view text);

/// Fails a module import with ImportError telling that the pyarrow package could not be
/// imported, quoting the Python error held by `cause`.
[[noreturn]] void raise_pyarrow_import_error(pybind11::error_already_set& cause);

/// "<type name>: <message>" for a Python exception instance, or the type name alone when the
/// message is empty.
std::string python_error_text(pybind11::handle exception);

}  // namespace shredder
