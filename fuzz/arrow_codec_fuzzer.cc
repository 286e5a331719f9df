// A batch of one nested column built from the bytes with Arrow's builders (structs, lists,
// large lists, every integer width, floats, strings, binary, dates, nulls; optionally sliced)
// through the Arrow codec: every row to a document and back, then the whole pipeline with
// the Arrow codec and the unshredding of its atoms.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "arrow/record_batch.h"
#include "fuzz_checks.h"
#include "fuzz_support.h"
#include "shredder/arrow_dom_codec.h"
#include "struct_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace shredder;
  using namespace shredder::fuzz;
  const std::shared_ptr<arrow::RecordBatch> batch = DecodeStructBatch(data, size);
  CheckValid(*batch, /*full=*/false, "the harness's own batch");
  // Strings that are not UTF-8 pass through the codec as bytes.
  const bool utf8 = batch->ValidateFull().ok();

  // Each row read into a document, written as a one-row batch and read again comes back
  // unchanged whenever writing succeeds.
  const ArrowDomCodec codec;
  Guarded([&] { codec.ValidateInput(batch); });
  for (std::int64_t row = 0; row < batch->num_rows(); ++row) {
    Guarded([&] {
      std::vector<Object> documents;
      std::vector<IntegerLiterals> literals(1);
      documents.push_back(codec.ToDomWithLiterals(batch, row, literals[0]));
      // Without their texts, unsigned integers above the int64 range are written as doubles,
      // and the integers beside them come back widened.
      const auto widened = codec.FromDom(documents);
      CheckValid(*widened, utf8);
      if (!SameObject(documents[0], codec.ToDom(widened, 0), /*widened=*/true)) {
        Finding("a document does not round-trip through the Arrow codec");
      }
      // With their texts they are written as uint64 again.
      const auto written = codec.FromDomWithLiterals(documents, literals);
      CheckValid(*written, utf8);
      if (!SameObject(documents[0], codec.ToDom(written, 0))) {
        Finding("a document does not round-trip through the Arrow codec with its integers");
      }
    });
  }

  Pipeline pipeline(/*arrow_codec=*/true);
  std::shared_ptr<arrow::RecordBatch> atoms;
  Guarded([&] { atoms = pipeline.controller.shred(batch); });
  if (!atoms) return 0;
  CheckAtomsBatch(*atoms, utf8);
  Guarded([&] { CheckValid(*pipeline.controller.unshred(atoms), utf8); });
  // Exact mode keeps what plain mode refuses (such arrays among them).
  Pipeline exact(/*arrow_codec=*/true, /*exact=*/true);
  std::shared_ptr<arrow::RecordBatch> exact_atoms;
  Guarded([&] { exact_atoms = exact.controller.shred(batch); });
  if (exact_atoms) {
    CheckValid(*exact_atoms, utf8);
    Guarded([&] {
      CheckValid(*exact.controller.unshred(exact_atoms, Controller::UnshredOptions{false}), utf8);
    });
  }
  return 0;
}
