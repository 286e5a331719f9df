// One JSON text (or several, separated by NUL bytes, as the rows of one batch) through the
// whole shred pipeline: JsonTextCodec, Normalizer, Tagger, BoxToStringPolicy, Controller.
// The atoms batch is then unshredded through both codecs. Also checks that the JSON text
// serialization writes what it reads back identically.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/array/array_binary.h"
#include "arrow/record_batch.h"
#include "codecs/json_event_log.h"
#include "fuzz_checks.h"
#include "fuzz_support.h"
#include "shredder/serialization.h"

namespace {

constexpr std::size_t kMaxDocuments = 64;

// Exact mode refuses only what cannot be read; every document it accepts comes back, in
// order, equal to the document read from its text.
void CheckExactRoundTrip(const shredder::JsonSerialization& json,
                         const std::vector<std::string_view>& documents) {
  using namespace shredder;
  using namespace shredder::fuzz;
  Pipeline exact(/*arrow_codec=*/false, /*exact=*/true);
  std::shared_ptr<arrow::RecordBatch> atoms;
  Guarded([&] { atoms = exact.controller.shred(JsonBatch(documents)); });
  if (!atoms) return;
  CheckValid(*atoms);
  std::shared_ptr<arrow::RecordBatch> back;
  Guarded([&] { back = exact.controller.unshred(atoms, Controller::UnshredOptions{false}); });
  if (!back) Finding("exact atoms that do not unshred");
  CheckJsonDocuments(*back);
  const auto& texts = static_cast<const arrow::StringArray&>(*back->column(0));
  if (static_cast<std::size_t>(texts.length()) != documents.size()) {
    Finding("exact atoms that give back another number of documents");
  }
  for (std::size_t i = 0; i < documents.size(); ++i) {
    if (!SameObject(json.ToDom(texts.GetView(static_cast<std::int64_t>(i))),
                    json.ToDom(documents[i]))) {
      Finding("a document that does not come back exactly from exact atoms");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace shredder;
  using namespace shredder::fuzz;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> documents;
  for (std::size_t start = 0; documents.size() < kMaxDocuments;) {
    const std::size_t end = input.find('\0', start);
    documents.push_back(input.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }

  // The fast reader never accepts what the library's parser refuses, and reports the same
  // events for what it accepts.
  for (std::string_view text : documents) {
    const json_text::Outcome outcome = json_text::Compare(text);
    if (outcome.fast_accepted && !(outcome.library_accepted && outcome.same_events)) {
      Finding("the fast JSON reader disagrees with the library's parser");
    }
  }

  // The serialization alone: whatever it reads, it writes, and reads back the same.
  const JsonSerialization json;
  for (std::string_view text : documents) {
    Guarded([&] {
      const Object document = json.ToDom(text);
      const std::string written = json.FromDom(document);
      if (!SameObject(json.ToDom(written), document)) Finding("JSON text does not round-trip");
    });
  }

  Pipeline pipeline(/*arrow_codec=*/false);
  std::shared_ptr<arrow::RecordBatch> atoms;
  Guarded([&] { atoms = pipeline.controller.shred(JsonBatch(documents)); });
  // Setting refused documents aside gives the same atoms when none is refused, and sound ones
  // otherwise.
  Pipeline skipping(/*arrow_codec=*/false);
  Guarded([&] {
    std::vector<Error> refused;
    const auto kept = skipping.controller.shred(JsonBatch(documents), refused);
    if (atoms && (!refused.empty() || !kept->Equals(*atoms))) {
      Finding("a batch shredded whole gives other atoms when refusals are set aside");
    }
    if (!atoms && refused.empty()) Finding("a failed batch went through setting refusals aside");
    CheckAtomsBatch(*kept);
  });
  if (!atoms) return 0;
  CheckAtomsBatch(*atoms);
  Guarded([&] { CheckJsonDocuments(*pipeline.controller.unshred(atoms)); });
  Pipeline arrow_pipeline(/*arrow_codec=*/true);
  Guarded([&] { CheckValid(*arrow_pipeline.controller.unshred(atoms)); });
  CheckExactRoundTrip(json, documents);
  return 0;
}
