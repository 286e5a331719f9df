#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace shredder {

/// What kind of failure an `Error` is, for callers that act on the kind rather than the text.
/// The names `ErrorCodeName` gives are stable: they reach Python as the exception's `code`.
enum class ErrorCode : std::uint8_t {
  /// "invalid_json": a document's text is not JSON, or not an object.
  InvalidJson,
  /// "unsupported_input": a document the codec cannot read (null, a root that is no object,
  /// nested past the depth limit).
  UnsupportedInput,
  /// "shape": a document whose shape the pipeline refuses, against what earlier documents
  /// taught or because flat columns cannot hold it.
  Shape,
  /// "too_large": a document, a column or a batch past a size bound.
  TooLarge,
  /// "bad_batch": a batch the call cannot take as a whole (its columns or their types).
  BadBatch,
  /// "bad_atoms": atoms that do not rebuild into documents.
  BadAtoms,
  /// "bad_argument": a part, option or argument the call cannot be made with.
  BadArgument,
  /// "internal": a fault of the engine itself; no input should reach it.
  Internal,
};

/// The stable name of `code`, as listed at each of them.
std::string_view ErrorCodeName(ErrorCode code) noexcept;

/// Every failure the engine reports. `what()` is the message as it is documented at the
/// place that fails; `path` names the member (as the Normalizer writes paths: "/a/b") or the
/// column the failure is about, empty when it concerns neither; `row` is set by
/// `Controller::shred` to the row of its input batch whose document failed.
class Error : public std::runtime_error {
 public:
  Error(ErrorCode code, std::string message, std::string path = {});

  const char* what() const noexcept override { return message_.c_str(); }
  ErrorCode code() const noexcept { return code_; }
  const std::string& path() const noexcept { return path_; }
  std::optional<std::int64_t> row() const noexcept { return row_; }

  void set_row(std::int64_t row) noexcept { row_ = row; }

 protected:
  /// For errors whose text grows on the way out (the path of the member that failed).
  void set_message(std::string message, std::string path);

 private:
  ErrorCode code_;
  std::string message_;
  std::string path_;
  std::optional<std::int64_t> row_;
};

}  // namespace shredder
