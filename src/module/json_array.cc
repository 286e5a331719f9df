#include "module/json_array.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include <arrow/array.h>
#include <arrow/buffer.h>

#include "module/json_lines.h"

namespace shredder {

namespace {

bool white(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

JsonArrayCutter::JsonArrayCutter(int64_t max_documents, int64_t max_bytes, int64_t start,
                                 int64_t max_data)
    : max_documents_(max_documents),
      max_bytes_(max_bytes),
      max_data_(std::min(max_data, JsonLinesCutter::kLargestBinaryData)),
      state_(start == 0 ? State::kBeforeArray : State::kNext),
      offset_(start),
      accounted_(start) {}

void JsonArrayCutter::fail(const char* what, size_t at) const {
  throw std::invalid_argument("offset " + std::to_string(offset_ + static_cast<int64_t>(at)) +
                              ": " + what);
}

template <typename OnStart, typename OnEnd>
void JsonArrayCutter::scan(std::string_view text, OnStart&& on_start, OnEnd&& on_end) {
  const char* const begin = text.data();
  const size_t size = text.size();
  State state = state_;
  for (size_t i = 0; i < size; ++i) {
    const char c = begin[i];
    switch (state) {
      case State::kInside:
        if (c == '"') {
          state = State::kString;
        } else if (c == '{' || c == '[') {
          closers_.push_back(c == '{' ? '}' : ']');
        } else if (c == '}' || c == ']') {
          if (closers_.back() != c) fail("brackets do not match", i);
          closers_.pop_back();
          if (closers_.empty()) {
            state = State::kAfter;
            on_end(i + 1);
          }
        }
        break;
      case State::kString: {
        // Skip to the next quote or backslash.
        while (i < size && begin[i] != '"' && begin[i] != '\\') ++i;
        if (i == size) break;
        state = begin[i] == '"' ? State::kInside : State::kEscape;
        break;
      }
      case State::kEscape:
        state = State::kString;
        break;
      case State::kBeforeArray: {
        const int64_t at = offset_ + static_cast<int64_t>(i);
        if (at < 3 && at == mark_ && c == kByteOrderMark[at]) {
          ++mark_;  // a byte order mark, only at the very start
        } else if (mark_ % 3 != 0) {
          fail("not UTF-8", i);  // a mark begun and not finished
        } else if (c == '[') {
          state = State::kFirst;
        } else if (!white(c)) {
          fail("not an array", i);
        }
        break;
      }
      case State::kFirst:
      case State::kNext:
        if (c == '{') {
          state = State::kInside;
          closers_.assign(1, '}');
          on_start(i);
        } else if (c == ']' && state == State::kFirst) {
          state = State::kDone;
        } else if (!white(c)) {
          fail("not an object", i);
        }
        break;
      case State::kAfter:
        if (c == ',') {
          state = State::kNext;
        } else if (c == ']') {
          state = State::kDone;
        } else if (!white(c)) {
          fail("expected \",\" or \"]\"", i);
        }
        break;
      case State::kDone:
        if (!white(c)) fail("text after the array", i);
        break;
    }
  }
  state_ = state;
}

std::vector<JsonArrayCutter::Batch> JsonArrayCutter::feed(std::string_view text) {
  std::vector<Batch> out;
  // Where the current element's bytes start in this chunk: at 0 when it began in an earlier one.
  size_t element = 0;
  auto append = [&](size_t from, size_t to) {
    const auto size = static_cast<int64_t>(to - from);
    if (data_.length() + size > max_data_ && offsets_.size() > 1) {
      // The element so far starts the next batch, as a line too long for this one does.
      const int32_t kept = offsets_.back();
      std::string begun(reinterpret_cast<const char*>(data_.data()) + kept,
                        static_cast<size_t>(data_.length() - kept));
      data_.Rewind(kept);
      out.push_back(cut());
      if (!data_.Append(begun.data(), static_cast<int64_t>(begun.size())).ok()) {
        throw std::bad_alloc();
      }
    }
    if (data_.length() + size > max_data_) {
      throw std::overflow_error("an element longer than a batch of documents can hold (" +
                                std::to_string(max_data_) + " bytes)");
    }
    if (!data_.Append(text.data() + from, size).ok()) throw std::bad_alloc();
  };
  scan(
      text, [&](size_t at) { element = at; },
      [&](size_t end) {
        append(element, end);
        element = 0;
        offsets_.push_back(static_cast<int32_t>(data_.length()));
        ++documents_;
        const int64_t read = offset_ + static_cast<int64_t>(end) - accounted_;
        nbytes_ += read;
        accounted_ += read;
        if (static_cast<int64_t>(offsets_.size()) - 1 == max_documents_ || nbytes_ >= max_bytes_) {
          out.push_back(cut());
        }
      });
  if (state_ == State::kInside || state_ == State::kString || state_ == State::kEscape) {
    append(element, text.size());
  }
  offset_ += static_cast<int64_t>(text.size());
  return out;
}

std::vector<JsonArrayCutter::Batch> JsonArrayCutter::finish(bool whole) {
  if (state_ != State::kDone && (whole || state_ != State::kNext)) {
    fail("the array does not end", 0);
  }
  std::vector<Batch> out;
  nbytes_ += offset_ - accounted_;
  accounted_ = offset_;
  if (offsets_.size() > 1) out.push_back(cut());
  return out;
}

JsonArrayCutter::Batch JsonArrayCutter::cut() {
  std::shared_ptr<arrow::Buffer> data;
  if (!data_.Finish(&data, /*shrink_to_fit=*/false).ok()) throw std::bad_alloc();
  const auto rows = static_cast<int64_t>(offsets_.size()) - 1;
  auto offsets = arrow::Buffer::FromVector(std::exchange(offsets_, {0}));
  Batch batch{std::make_shared<arrow::BinaryArray>(rows, std::move(offsets), std::move(data)),
              nbytes_};
  nbytes_ = 0;
  return batch;
}

JsonArrayCuts::JsonArrayCuts(int64_t every)
    : scanner_(0, 0, /*start=*/0), every_(every), next_(every) {
  if (every <= 0) throw std::invalid_argument("the part size must be positive");
}

void JsonArrayCuts::feed(std::string_view text) {
  scanner_.scan(
      text,
      [&](size_t at) {
        const int64_t start = scanner_.offset_ + static_cast<int64_t>(at);
        if (start < next_) return;
        // Nothing lies before the first element but the array's "[": no part ends there.
        if (scanner_.documents_ > 0) cuts_.push_back({start, scanner_.documents_});
        next_ = (start / every_ + 1) * every_;
      },
      [&](size_t) { ++scanner_.documents_; });
  scanner_.offset_ += static_cast<int64_t>(text.size());
}

std::vector<JsonArrayCuts::Cut> JsonArrayCuts::finish() {
  if (scanner_.state_ != JsonArrayCutter::State::kDone) scanner_.fail("the array does not end", 0);
  return std::move(cuts_);
}

}  // namespace shredder
