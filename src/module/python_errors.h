#pragma once

#include <exception>
#include <string>
#include <string_view>

#include <pybind11/pybind11.h>

#include "shredder/error.h"

namespace shredder {

// The one place where failures of the module become Python exceptions. Each raise_ function
// sets the Python error and throws pybind11::error_already_set, which the binding layer hands
// to the caller unchanged. Texts are decoded as UTF-8 with undecodable bytes shown as
// backslash escapes, so a message that quotes raw input bytes still arrives as the
// documented exception type.
//
// Every ValueError the module raises carries three attributes: `code`, the stable name of
// what went wrong (`ErrorCodeName`: "invalid_json", "shape", "too_large", "bad_batch", ...);
// `row`, the row of the input batch whose document failed (an int), or None when the failure
// is not one document's; `path`, the member ("/a/b") or column the failure is about, or None.

/// The ValueError for `error`, with the text prefix + error.what(), not raised.
pybind11::object engine_error(const Error& error, std::string_view prefix);

/// Raises the ValueError for a failure of an engine call: `engine_error` for an `Error`, and
/// for anything else its text with the code "internal".
[[noreturn]] void raise_engine_error(const std::exception& error, std::string_view prefix);

/// Raises ValueError(text) about the arguments of a call, with `code`.
[[noreturn]] void raise_value_error(std::string_view text,
                                    ErrorCode code = ErrorCode::BadArgument);

/// Raises ValueError(prefix + "<type name>: <message>") describing the Python error held by
/// `cause`, with that error attached as the new exception's __cause__ and the code
/// "bad_batch": Python code ran on the caller's batch and failed.
[[noreturn]] void raise_value_error_from(pybind11::error_already_set& cause,
                                         std::string_view prefix);

/// Raises RuntimeError(text); used for the binding library's failed argument conversions.
[[noreturn]] void raise_runtime_error(std::string_view text);

/// Fails a module import with ImportError telling that the pyarrow package could not be
/// imported, quoting the Python error held by `cause`.
[[noreturn]] void raise_pyarrow_import_error(pybind11::error_already_set& cause);

/// "<type name>: <message>" for a Python exception instance, or the type name alone when the
/// message is empty.
std::string python_error_text(pybind11::handle exception);

}  // namespace shredder
