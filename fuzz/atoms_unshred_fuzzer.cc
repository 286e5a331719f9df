// An atoms table decoded from the bytes (any names, the accepted atom types and some that
// are refused, any cells, optionally sliced) through Controller::unshred with either codec.
#include <cstddef>
#include <cstdint>

#include "atoms_format.h"
#include "fuzz_checks.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace shredder::fuzz;
  const AtomsInput input = DecodeAtoms(data, size);
  Pipeline pipeline(input.arrow_codec);
  Guarded([&] {
    const auto documents = pipeline.controller.unshred(input.batch);
    if (input.arrow_codec) {
      // Strings that are not UTF-8 pass through the Arrow codec as bytes.
      CheckValid(*documents, input.batch->ValidateFull().ok());
    } else {
      CheckJsonDocuments(*documents);
    }
  });
  // Setting refused documents aside: what is kept is as sound, and every refusal names a row.
  Pipeline skipping(input.arrow_codec);
  Guarded([&] {
    std::vector<shredder::Error> refused;
    const auto documents = skipping.controller.unshred(
        input.batch, shredder::Controller::UnshredOptions{}, &refused);
    for (const shredder::Error& error : refused) {
      if (!error.row() || *error.row() < 0 || *error.row() >= input.batch->num_rows()) {
        Finding("a refused document without its row");
      }
    }
    if (input.arrow_codec) {
      CheckValid(*documents, input.batch->ValidateFull().ok());
    } else {
      CheckJsonDocuments(*documents);
    }
  });
  return 0;
}
