#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <arrow/buffer_builder.h>
#include <arrow/type_fwd.h>

namespace shredder {

/// Cuts JSON Lines text, fed in chunks as it is read, into batches of documents. A line ends
/// at "\n" and loses its trailing "\r"s; a line of ASCII white space only is counted but not
/// kept. A batch is cut after the kept line that makes it `max_lines` long or brings the
/// bytes read for it (every line with its "\n", blank ones too) to `max_bytes`.
class JsonLinesCutter {
 public:
  struct Batch {
    std::shared_ptr<arrow::Array> documents;  // binary, one kept line per row
    std::vector<int64_t> lines;               // each row's line number, from 1
    int64_t nbytes;                           // the bytes read for the batch
  };

  /// What a binary column's 32-bit offsets reach.
  static constexpr int64_t kLargestBinaryData = std::numeric_limits<int32_t>::max();

  /// `max_data` bounds a batch's text below that (for tests of long lines).
  JsonLinesCutter(int64_t max_lines, int64_t max_bytes, int64_t max_data = kLargestBinaryData);

  /// The batches that `text` completes, in order; an unfinished last line waits for the next
  /// chunk. A line that would take the batch past what a binary column holds starts the next
  /// one; one that alone is too long throws std::length_error, and `lines()` is its number.
  std::vector<Batch> feed(std::string_view text);

  /// The batch left when the text ends, holding its last line if that had no "\n": none
  /// when no line is left to keep.
  std::vector<Batch> finish();

  /// Lines seen so far, blank ones and an unfinished last one included.
  int64_t lines() const { return line_; }

 private:
  void take(std::string_view line, int64_t read_bytes, bool last, std::vector<Batch>& out);
  Batch cut();

  int64_t max_lines_;
  int64_t max_bytes_;
  int64_t max_data_;
  std::string rest_;  // the unfinished line of the chunks fed so far
  arrow::BufferBuilder data_;
  std::vector<int32_t> offsets_{0};
  std::vector<int64_t> numbers_;
  int64_t nbytes_ = 0;
  int64_t line_ = 0;
};

}  // namespace shredder
