#include "shredder/error.h"

#include <utility>

namespace shredder {

std::string_view ErrorCodeName(ErrorCode code) noexcept {
  switch (code) {
    case ErrorCode::InvalidJson: return "invalid_json";
    case ErrorCode::UnsupportedInput: return "unsupported_input";
    case ErrorCode::Shape: return "shape";
    case ErrorCode::TooLarge: return "too_large";
    case ErrorCode::BadBatch: return "bad_batch";
    case ErrorCode::BadAtoms: return "bad_atoms";
    case ErrorCode::BadArgument: return "bad_argument";
    case ErrorCode::Internal: return "internal";
  }
  return "internal";
}

// The base keeps no text of its own: the message may change (`set_message`), and `what`
// reads it from here.
Error::Error(ErrorCode code, std::string message, std::string path)
    : std::runtime_error(std::string()),
      code_(code),
      message_(std::move(message)),
      path_(std::move(path)) {}

void Error::set_message(std::string message, std::string path) {
  message_ = std::move(message);
  path_ = std::move(path);
}

}  // namespace shredder
