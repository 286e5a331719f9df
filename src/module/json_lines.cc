#include "module/json_lines.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <arrow/array.h>
#include <arrow/buffer.h>

namespace shredder {

namespace {

constexpr size_t kKeptRest = 16 << 20;

// ASCII white space as Python's bytes.strip() knows it.
bool blank(std::string_view line) {
  for (const char c : line) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\v' && c != '\f') return false;
  }
  return true;
}

}  // namespace

JsonLinesCutter::JsonLinesCutter(int64_t max_lines, int64_t max_bytes, int64_t max_data)
    : max_lines_(max_lines),
      max_bytes_(max_bytes),
      max_data_(std::min(max_data, kLargestBinaryData)) {}

std::vector<JsonLinesCutter::Batch> JsonLinesCutter::feed(std::string_view text) {
  std::vector<Batch> out;
  while (!text.empty()) {
    const void* newline = std::memchr(text.data(), '\n', text.size());
    if (newline == nullptr) {
      rest_.append(text);
      break;
    }
    const size_t end = static_cast<const char*>(newline) - text.data();
    if (rest_.empty()) {
      take(text.substr(0, end), static_cast<int64_t>(end) + 1, false, out);
    } else {
      rest_.append(text.substr(0, end));
      take(rest_, static_cast<int64_t>(rest_.size()) + 1, false, out);
      // A line across chunks is at most a chunk long, unless it is one of a rare few that
      // are far longer: the memory of those is not kept for the lines after them.
      if (rest_.capacity() > kKeptRest) {
        std::string().swap(rest_);
      } else {
        rest_.clear();
      }
    }
    text.remove_prefix(end + 1);
  }
  return out;
}

std::vector<JsonLinesCutter::Batch> JsonLinesCutter::finish() {
  std::vector<Batch> out;
  if (!rest_.empty()) {
    take(rest_, static_cast<int64_t>(rest_.size()), true, out);
    rest_.clear();
  }
  if (!numbers_.empty()) out.push_back(cut());
  return out;
}

void JsonLinesCutter::take(std::string_view line, int64_t read_bytes, bool last,
                           std::vector<Batch>& out) {
  ++line_;
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (blank(line)) {
    nbytes_ += read_bytes;
    return;
  }
  const auto size = static_cast<int64_t>(line.size());
  if (size > max_data_) {
    throw std::length_error(std::to_string(size) +
                            " bytes, longer than a batch of documents can hold (" +
                            std::to_string(max_data_) + " bytes)");
  }
  if (data_.length() + size > max_data_) out.push_back(cut());
  nbytes_ += read_bytes;
  if (!data_.Append(line.data(), size).ok()) throw std::bad_alloc();
  offsets_.push_back(static_cast<int32_t>(data_.length()));
  numbers_.push_back(line_);
  if (!last && (static_cast<int64_t>(numbers_.size()) == max_lines_ || nbytes_ >= max_bytes_)) {
    out.push_back(cut());
  }
}

JsonLinesCutter::Batch JsonLinesCutter::cut() {
  std::shared_ptr<arrow::Buffer> data;
  if (!data_.Finish(&data, /*shrink_to_fit=*/false).ok()) throw std::bad_alloc();
  const auto rows = static_cast<int64_t>(numbers_.size());
  auto offsets = arrow::Buffer::FromVector(std::exchange(offsets_, {0}));
  Batch batch{std::make_shared<arrow::BinaryArray>(rows, std::move(offsets), std::move(data)),
              std::exchange(numbers_, {}), nbytes_};
  nbytes_ = 0;
  return batch;
}

}  // namespace shredder
