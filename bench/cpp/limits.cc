// The limits of a shred, on the same JSONL text the benchmark feeds to the shredder: parsing
// every document with nlohmann/json alone (the library the JSON codec uses), writing every
// parsed document back to compact text, BLAKE3 over every document's bytes and over the whole
// input, and a memcpy of the whole input.
//
// Usage: bench_limits FILE.jsonl [REPEATS]
// Prints one JSON object: the input size, the document count and, per operation, the median
// nanoseconds of one pass over the whole input (after one warm-up pass; a pass over a small
// input is repeated until it lasts about 50 ms and divided back).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

extern "C" {
#include "blake3.h"
}

namespace {

using Clock = std::chrono::steady_clock;

// Keeps a value observable so that the optimizer cannot drop the work that made it.
volatile std::uint64_t g_sink = 0;

double MedianNanos(int repeats, const std::function<void()>& pass) {
  pass();  // warm-up
  auto t0 = Clock::now();
  pass();
  double one = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
  const long loops = std::clamp(static_cast<long>(50e6 / std::max(one, 1.0)), 1L, 10000L);
  std::vector<double> samples;
  for (int r = 0; r < repeats; ++r) {
    t0 = Clock::now();
    for (long i = 0; i < loops; ++i) pass();
    samples.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count() /
                      static_cast<double>(loops));
  }
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.jsonl [REPEATS]\n", argv[0]);
    return 2;
  }
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  std::vector<std::string_view> docs;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    if (end > pos) docs.emplace_back(text.data() + pos, end - pos);
    pos = end + 1;
  }

  // Parsing alone: every document into nlohmann's tree, then dropped.
  const double parse_ns = MedianNanos(repeats, [&] {
    std::uint64_t n = 0;
    for (auto doc : docs) n += nlohmann::json::parse(doc).size();
    g_sink = g_sink + n;
  });

  // Writing back: the parsed trees (made once, outside the timing) to compact text.
  std::vector<nlohmann::json> parsed;
  parsed.reserve(docs.size());
  for (auto doc : docs) parsed.push_back(nlohmann::json::parse(doc));
  const double dump_ns = MedianNanos(repeats, [&] {
    std::uint64_t n = 0;
    for (const auto& j : parsed) n += j.dump().size();
    g_sink = g_sink + n;
  });
  parsed.clear();
  parsed.shrink_to_fit();

  // BLAKE3 over each document's bytes (one 32-byte digest per document).
  const double blake3_docs_ns = MedianNanos(repeats, [&] {
    std::uint8_t out[BLAKE3_OUT_LEN];
    std::uint64_t acc = 0;
    for (auto doc : docs) {
      blake3_hasher h;
      blake3_hasher_init(&h);
      blake3_hasher_update(&h, doc.data(), doc.size());
      blake3_hasher_finalize(&h, out, sizeof out);
      acc += out[0];
    }
    g_sink = g_sink + acc;
  });

  // BLAKE3 over the whole input at once.
  const double blake3_all_ns = MedianNanos(repeats, [&] {
    std::uint8_t out[BLAKE3_OUT_LEN];
    blake3_hasher h;
    blake3_hasher_init(&h);
    blake3_hasher_update(&h, text.data(), text.size());
    blake3_hasher_finalize(&h, out, sizeof out);
    g_sink = g_sink + out[0];
  });

  // memcpy of the whole input into a buffer touched beforehand.
  std::vector<char> dst(text.size() + 1, 1);
  const double memcpy_ns = MedianNanos(repeats, [&] {
    std::memcpy(dst.data(), text.data(), text.size());
    g_sink = g_sink + static_cast<unsigned char>(dst[text.size() / 2]);
  });

  std::printf(
      "{\"bytes\": %zu, \"docs\": %zu, \"repeats\": %d, \"parse_ns\": %.0f, \"dump_ns\": %.0f, "
      "\"blake3_docs_ns\": %.0f, \"blake3_all_ns\": %.0f, \"memcpy_ns\": %.0f}\n",
      text.size(), docs.size(), repeats, parse_ns, dump_ns, blake3_docs_ns, blake3_all_ns,
      memcpy_ns);
  return 0;
}
