#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <arrow/buffer_builder.h>
#include <arrow/type_fwd.h>

namespace shredder {

/// Cuts the text of a JSON file that holds an array of objects, fed in chunks as it is read,
/// into batches of its elements' texts. Of an element it reads only its strings and brackets,
/// enough to find where it ends: the engine reads each document, and refuses one that is not
/// valid JSON on its own, as it does a line of JSON Lines.
///
/// The text is the file from its start (a UTF-8 byte order mark, white space, "[") or, for a
/// part of the file that `JsonArrayCuts` found, from the start of an element at `start`. It ends after
/// the array's "]" and white space, or, for a part that does not reach the file's end, after
/// the "," that follows its last element and white space. Any other text (a top-level
/// object, a scalar element, a bracket or string left open) throws std::invalid_argument
/// naming its offset in the file: the caller then reads the file the slow way, which reports
/// the fault or reads what this cutter does not (one object, UTF-16 or UTF-32).
class JsonArrayCutter {
 public:
  struct Batch {
    std::shared_ptr<arrow::Array> documents;  // binary, one element per row
    int64_t nbytes;                           // the bytes read for the batch
  };

  /// A batch is cut after the element that makes it `max_documents` long or brings the
  /// bytes read for it to `max_bytes`. An element that would take the batch's text past
  /// `max_data` (at most what a binary column holds) starts the next batch; one that alone
  /// is longer throws std::overflow_error.
  JsonArrayCutter(int64_t max_documents, int64_t max_bytes, int64_t start,
                  int64_t max_data = std::numeric_limits<int32_t>::max());

  /// The batches that `text` completes, in order.
  std::vector<Batch> feed(std::string_view text);

  /// The batch left when the text ends. `whole`: the text is the whole file, so it must end
  /// with the array; a part of the file may also end after a ",".
  std::vector<Batch> finish(bool whole);

  /// Elements whose text has ended so far.
  int64_t documents() const { return documents_; }

 private:
  friend class JsonArrayCuts;

  enum class State : std::uint8_t {
    kBeforeArray,  // white space (a byte order mark first) before "["
    kFirst,        // after "[": an element or "]"
    kNext,         // after ",": an element
    kInside,       // inside an element, outside its strings
    kString,       // inside a string of an element
    kEscape,       // after "\" in a string
    kAfter,        // after an element: "," or "]"
    kDone,         // after "]": white space only
  };

  // Scans `text`; calls on_start(i) at an element's "{" (index into text) and on_end(i) just
  // after its closing "}".
  template <typename OnStart, typename OnEnd>
  void scan(std::string_view text, OnStart&& on_start, OnEnd&& on_end);
  [[noreturn]] void fail(const char* what, size_t at) const;
  Batch cut();

  int64_t max_documents_ = 0;
  int64_t max_bytes_ = 0;
  int64_t max_data_ = 0;
  State state_;
  std::string closers_;  // what closes each open bracket of the current element, innermost last
  int64_t offset_ = 0;   // where the current chunk starts in the file
  int64_t accounted_ = 0;  // where the bytes that some batch has counted end
  int64_t mark_ = 0;       // bytes of a byte order mark seen at the start
  arrow::BufferBuilder data_;
  std::vector<int32_t> offsets_{0};
  int64_t nbytes_ = 0;   // bytes read for the batch so far
  int64_t documents_ = 0;
};

/// Where a JSON file holding an array of objects can be cut into parts of about `every` bytes:
/// the start of the first element at or after each multiple of `every`, but never the first
/// element's, read as `JsonArrayCutter` reads the whole file (and with its failures).
class JsonArrayCuts {
 public:
  struct Cut {
    int64_t offset;     // where the part starts in the file
    int64_t documents;  // elements before it
  };

  explicit JsonArrayCuts(int64_t every);
  void feed(std::string_view text);
  /// The cuts, rising; throws as JsonArrayCutter::finish does.
  std::vector<Cut> finish();
  /// Elements whose text has ended so far.
  int64_t documents() const { return scanner_.documents(); }

 private:
  JsonArrayCutter scanner_;
  int64_t every_;
  int64_t next_;
  std::vector<Cut> cuts_;
};

}  // namespace shredder
