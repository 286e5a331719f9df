// Writes the seed corpora of the three harnesses from JSON files:
//   make_fuzz_seeds OUT_DIR [--raw FILE...] [--derive FILE...]
// OUT_DIR/json gets every --raw file as it is (when small) and, from every --derive file,
// documents cut out of it (NDJSON lines; members and elements of a large document), compact.
// Every document with an object root is also shredded through the pipeline, and the atoms
// batch goes to OUT_DIR/atoms in the unshred harness's encoding; the documents written as a
// struct column by the Arrow codec go to OUT_DIR/arrow in the Arrow harness's encoding.
// With SEED_DEBUG set, documents that give no Arrow seed are reported on standard error.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "arrow/record_batch.h"
#include "atoms_format.h"
#include "fuzz_support.h"
#include "shredder/arrow_dom_codec.h"
#include "shredder/serialization.h"
#include "struct_format.h"

namespace {

namespace fs = std::filesystem;
using shredder::Object;

constexpr std::size_t kMaxSeedBytes = 64 * 1024;
constexpr std::size_t kMaxDerivedBytes = 16 * 1024;
constexpr std::size_t kDerivedPerFile = 12;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::uint64_t Fnv(std::string_view bytes) {
  std::uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

class SeedWriter {
 public:
  explicit SeedWriter(const fs::path& out) : out_(out) {
    for (const char* dir : {"json", "atoms", "arrow"}) fs::create_directories(out_ / dir);
  }

  void Write(const char* dir, std::string_view bytes) {
    if (bytes.size() > kMaxSeedBytes) return;
    char name[32];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(Fnv(bytes)));
    std::ofstream(out_ / dir / name, std::ios::binary).write(bytes.data(), bytes.size());
    ++written_;
  }

  // The atoms and Arrow seeds of a group of documents (texts with object roots).
  void WriteBatches(const std::vector<std::string>& texts) {
    std::vector<std::string_view> views(texts.begin(), texts.end());
    std::vector<Object> documents;
    try {
      for (const std::string& text : texts) documents.push_back(json_.ToDom(text));
    } catch (const std::exception&) {
      return;
    }
    try {
      shredder::fuzz::Pipeline pipeline(/*arrow_codec=*/false);
      const auto atoms = pipeline.controller.shred(shredder::fuzz::JsonBatch(views));
      const auto cells = static_cast<std::uint64_t>(atoms->num_rows()) *
                         static_cast<std::uint64_t>(atoms->num_columns());
      // Unshredding each batch with either codec.
      for (bool arrow_codec : {false, true}) {
        std::string bytes;
        if (static_cast<std::uint64_t>(atoms->num_rows()) <= shredder::fuzz::kMaxAtomRows &&
            cells <= shredder::fuzz::kMaxAtomCells &&
            shredder::fuzz::EncodeAtoms(*atoms, arrow_codec, &bytes)) {
          Write("atoms", bytes);
        }
      }
    } catch (const std::exception&) {
    }
    try {
      const auto batch = shredder::ArrowDomCodec().FromDom(documents);
      std::string bytes;
      if (shredder::fuzz::EncodeStructBatch(*batch, &bytes)) {
        // The encoding must read back as the very batch it was made from.
        const auto decoded = shredder::fuzz::DecodeStructBatch(
            reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        if (!decoded->Equals(*batch)) {
          std::fprintf(stderr, "struct encoding does not read back\n");
          std::exit(1);
        }
        Write("arrow", bytes);
      } else if (std::getenv("SEED_DEBUG")) {
        std::fprintf(stderr, "not encodable: %s\n", batch->schema()->ToString().c_str());
      }
    } catch (const std::exception& e) {
      if (std::getenv("SEED_DEBUG")) std::fprintf(stderr, "FromDom: %s\n", e.what());
    }
  }

  std::size_t written() const { return written_; }

 private:
  fs::path out_;
  shredder::JsonSerialization json_;
  std::size_t written_ = 0;
};

// Documents cut out of one file: its NDJSON lines, or the file itself when small, its
// members (each under its own key, arrays cut to two elements) and its first elements.
std::vector<std::string> Derive(const fs::path& path, const std::string& text) {
  std::vector<std::string> out;
  auto keep = [&](const nlohmann::json& j) {
    if (out.size() >= kDerivedPerFile) return;
    std::string dumped = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (dumped.size() <= kMaxDerivedBytes) out.push_back(std::move(dumped));
  };
  if (path.extension() == ".ndjson") {
    std::istringstream lines(text);
    std::string line;
    while (out.size() < kDerivedPerFile && std::getline(lines, line)) {
      if (!line.empty() && line.size() <= kMaxDerivedBytes) out.push_back(line);
    }
    return out;
  }
  nlohmann::json root;
  try {
    root = nlohmann::json::parse(text);
  } catch (const std::exception&) {
    return out;
  }
  if (text.size() <= kMaxDerivedBytes && root.is_object()) keep(root);
  auto cut = [](const nlohmann::json& j) {
    if (!j.is_array() || j.size() <= 2) return j;
    return nlohmann::json::array({j[0], j[1]});
  };
  if (root.is_object()) {
    for (const auto& [key, value] : root.items()) keep(nlohmann::json{{key, cut(value)}});
  } else if (root.is_array()) {
    for (std::size_t i = 0; i < root.size() && i < kDerivedPerFile; ++i) {
      keep(root[i].is_object() ? root[i] : nlohmann::json{{"v", cut(root[i])}});
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUT_DIR [--raw FILE...] [--derive FILE...]\n", argv[0]);
    return 2;
  }
  SeedWriter seeds(argv[1]);
  bool derive = false;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--raw" || arg == "--derive") {
      derive = arg == "--derive";
      continue;
    }
    const fs::path path(argv[i]);
    const std::string text = ReadFile(path);
    if (!derive) {
      seeds.Write("json", text);
      if (text.size() <= kMaxDerivedBytes) seeds.WriteBatches({text});
      continue;
    }
    if (text.size() <= kMaxSeedBytes && path.extension() != ".ndjson") seeds.Write("json", text);
    const std::vector<std::string> documents = Derive(path, text);
    std::string joined;
    for (const std::string& document : documents) {
      seeds.Write("json", document);
      seeds.WriteBatches({document});
      if (!joined.empty()) joined.push_back('\0');
      joined += document;
    }
    // All documents of the file as the rows of one batch.
    if (documents.size() > 1) {
      seeds.Write("json", joined);
      seeds.WriteBatches(documents);
    }
  }
  std::printf("%zu seeds written to %s\n", seeds.written(), argv[1]);
  return 0;
}
