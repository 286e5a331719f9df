// Times the native pipeline of the extension module on a JSONL file, without Python: the
// same codec, modifiers and policy as the module's "json" handle (or its "arrow" handle). Used
// to profile shred and unshred (under perf or callgrind) and to compare them with parsing alone.
//
// Usage: profile_pipeline FILE.jsonl [options]
//   --mode all|parse|shred|unshred|stages|memory|ratios|codecs   what to run (default all);
//                  ratios alternates parse, shred and unshred passes and compares the fastest;
//                  codecs alternates shred passes of the JSON codec (FILE.jsonl) and of the
//                  Arrow codec (--arrow) and compares the fastest
//   --arrow FILE.arrow   an Arrow IPC file of one struct column holding the same documents
//                  (bench/struct_ipc.py writes it); shred and unshred then run the "arrow"
//                  pipeline on slices of --batch rows of it, as the suite hands them over
//   --exact yes    the pipeline of an exact handle (the package's default) instead
//   --batch N      documents per input batch (default 10000; 0 = the whole file)
//   --repeat N     the file's documents repeated N times (default 1)
//   --runs N       timed runs after one warm-up (default 5)
//   --write PREFIX writes the atoms batches of a shred and the batches unshred makes of them
//                  as Arrow IPC files PREFIX.atoms.N and PREFIX.docs.N (for comparing builds)
// Times are the fastest pass over all documents, in seconds of thread CPU time (the median is
// shown too); the stage breakdown is wall time.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "arrow/array/array_base.h"
#include "arrow/array/builder_binary.h"
#include "arrow/io/file.h"
#include "arrow/ipc/reader.h"
#include "arrow/ipc/writer.h"
#include "arrow/memory_pool.h"
#include "arrow/record_batch.h"
#include "arrow/type.h"
#include "arrow/util/byte_size.h"
#include "shredder/arrow_dom_codec.h"
#include "shredder/coerce_policy.h"
#include "shredder/controller.h"
#include "shredder/json_text_codec.h"
#include "shredder/normalizer.h"
#include "shredder/serialization.h"
#include "shredder/shredder.h"
#include "shredder/shredding.h"
#include "shredder/tagger.h"

namespace {

using Clock = std::chrono::steady_clock;
using Batches = std::vector<std::shared_ptr<arrow::RecordBatch>>;

volatile std::uint64_t g_sink = 0;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// CPU time of this thread: on a machine shared with other work it counts only the time the
// pass actually ran, so figures taken under load stay comparable.
double CpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The fastest of `runs` timed passes (thread CPU time) after one warm-up: on a shared machine
// the minimum is the least disturbed figure. The median is printed beside it.
// `before` runs untimed ahead of every pass (to release what the previous pass made).
double Fastest(int runs, const std::function<void()>& pass,
               const std::function<void()>& before = [] {}) {
  before();
  pass();  // warm-up
  std::vector<double> samples;
  for (int r = 0; r < runs; ++r) {
    before();
    const double t0 = CpuSeconds();
    pass();
    samples.push_back(CpuSeconds() - t0);
  }
  std::sort(samples.begin(), samples.end());
  std::printf("  (median %.4f s of %d)\n", samples[samples.size() / 2], runs);
  return samples.front();
}

std::unique_ptr<shredder::DocumentCodec> MakeCodec(bool arrow) {
  if (arrow) return std::make_unique<shredder::ArrowDomCodec>();
  return std::make_unique<shredder::JsonTextCodec>(
      shredder::MakeSerialization(shredder::SerializationFormat::Json));
}

// Whether `Pipeline` is made as an exact handle; set once from the command line.
bool g_exact = false;

// The module's "json" pipeline, or its "arrow" one, made as the module makes its handles.
struct Pipeline {
  explicit Pipeline(bool arrow = false) : controller(Make(arrow)) {}

  shredder::Controller Make(bool arrow) {
    const shredder::Controller::KnownParts known{&tagger, /*box_to_string=*/true};
    if (!g_exact) {
      return shredder::Controller(MakeCodec(arrow), {normalizer, tagger},
                                  shredder::BoxToStringPolicy(), known);
    }
    return shredder::Controller(
        MakeCodec(arrow), {normalizer, tagger}, shredder::BoxToStringPolicy(),
        shredder::Controller::ExactMode{&normalizer, &tagger, /*null_members_kept=*/!arrow},
        known);
  }

  shredder::Normalizer normalizer;
  shredder::Tagger tagger;
  shredder::Controller controller;
};

// The struct column of an Arrow IPC file, in slices of `batch` rows (the whole column for 0).
Batches ReadStructBatches(const std::string& path, std::size_t batch) {
  auto file = arrow::io::ReadableFile::Open(path).ValueOrDie();
  auto reader = arrow::ipc::RecordBatchFileReader::Open(file).ValueOrDie();
  if (reader->num_record_batches() != 1) {
    std::fprintf(stderr, "%s: expected one record batch\n", path.c_str());
    std::exit(1);
  }
  const std::shared_ptr<arrow::RecordBatch> whole = reader->ReadRecordBatch(0).ValueOrDie();
  const std::int64_t rows = whole->num_rows();
  const std::int64_t step = batch == 0 ? std::max<std::int64_t>(rows, 1)
                                       : static_cast<std::int64_t>(batch);
  Batches batches;
  for (std::int64_t start = 0; start < rows; start += step) {
    batches.push_back(whole->Slice(start, std::min(step, rows - start)));
  }
  return batches;
}

Batches MakeBatches(const std::vector<std::string_view>& docs, std::size_t batch) {
  Batches batches;
  if (batch == 0) batch = docs.size();
  for (std::size_t start = 0; start < docs.size(); start += batch) {
    arrow::StringBuilder builder;
    const std::size_t end = std::min(docs.size(), start + batch);
    for (std::size_t i = start; i < end; ++i) {
      if (!builder.Append(docs[i]).ok()) std::abort();
    }
    std::shared_ptr<arrow::Array> array;
    if (!builder.Finish(&array).ok()) std::abort();
    batches.push_back(arrow::RecordBatch::Make(
        arrow::schema({arrow::field("doc", arrow::utf8())}), array->length(), {array}));
  }
  return batches;
}

std::int64_t BatchBytes(const Batches& batches) {
  std::int64_t bytes = 0;
  for (const auto& b : batches) bytes += arrow::util::TotalBufferSize(*b);
  return bytes;
}

std::int64_t ProcStatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(key);
  while (std::getline(in, line)) {
    if (line.compare(0, n, key) == 0) return std::atoll(line.c_str() + n + 1);
  }
  return -1;
}

void WriteBatches(const Batches& batches, const std::string& prefix) {
  for (std::size_t i = 0; i < batches.size(); ++i) {
    auto file = arrow::io::FileOutputStream::Open(prefix + "." + std::to_string(i)).ValueOrDie();
    auto writer = arrow::ipc::MakeFileWriter(file, batches[i]->schema()).ValueOrDie();
    if (!writer->WriteRecordBatch(*batches[i]).ok() || !writer->Close().ok()) std::abort();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.jsonl [--mode M] [--batch N] [--repeat N] [--runs N]\n",
                 argv[0]);
    return 2;
  }
  std::string mode = "all";
  std::size_t batch = 10000;
  int repeat = 1;
  int runs = 5;
  std::string write_prefix;
  std::string arrow_path;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (flag == "--mode") mode = argv[i + 1];
    else if (flag == "--batch") batch = std::strtoull(argv[i + 1], nullptr, 10);
    else if (flag == "--repeat") repeat = std::max(1, std::atoi(argv[i + 1]));
    else if (flag == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    else if (flag == "--write") write_prefix = argv[i + 1];
    else if (flag == "--arrow") arrow_path = argv[i + 1];
    else if (flag == "--exact") g_exact = std::string_view(argv[i + 1]) == "yes";
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string_view> docs;
  for (int r = 0; r < repeat; ++r) {
    for (std::size_t pos = 0; pos < file.size();) {
      std::size_t end = file.find('\n', pos);
      if (end == std::string::npos) end = file.size();
      if (end > pos) docs.emplace_back(file.data() + pos, end - pos);
      pos = end + 1;
    }
  }
  std::size_t text_bytes = 0;
  for (auto d : docs) text_bytes += d.size();
  const Batches json_inputs = MakeBatches(docs, batch);
  const bool arrow = !arrow_path.empty();
  const Batches inputs = arrow ? ReadStructBatches(arrow_path, batch) : json_inputs;
  const double mb = static_cast<double>(text_bytes) / 1e6;
  const double n = static_cast<double>(docs.size());
  std::printf("input: %zu docs, %.2f MB, %zu batches%s\n", docs.size(), mb, inputs.size(),
              arrow ? " (Arrow codec)" : "");

  const bool all = mode == "all";
  double parse_s = 0;
  double shred_s = 0;
  if (all || mode == "parse") {
    parse_s = Fastest(runs, [&] {
      std::uint64_t total = 0;
      for (auto d : docs) total += nlohmann::json::parse(d).size();
      g_sink = g_sink + total;
    });
    std::printf("parse (nlohmann DOM): %.4f s  %.1f MB/s  %.0f docs/s\n", parse_s, mb / parse_s,
                n / parse_s);
    const shredder::JsonSerialization serialization;
    const double todom_s = Fastest(runs, [&] {
      std::uint64_t total = 0;
      for (auto d : docs) total += serialization.ToDom(d).size();
      g_sink = g_sink + total;
    });
    std::printf("parse (JsonSerialization::ToDom): %.4f s  %.1f MB/s\n", todom_s, mb / todom_s);
  }
  if (all || mode == "stages") {
    // Each stage over all documents, in pipeline order, on one fresh Normalizer and Tagger.
    shredder::Normalizer normalizer;
    shredder::Tagger tagger;
    const shredder::JsonSerialization serialization;
    // The walk the Controller merges from (Shredder::Shred also builds owned atoms).
    shredder::shredding::TableWalker walker;
    double t_parse = 0, t_norm = 0, t_tag = 0, t_shred = 0;
    for (int pass = 0; pass < 2; ++pass) {  // the first pass warms up
      t_parse = t_norm = t_tag = t_shred = 0;
      for (auto d : docs) {
        auto t0 = Clock::now();
        shredder::Object doc = serialization.ToDom(d);
        t_parse += Seconds(t0);
        t0 = Clock::now();
        normalizer.modify(doc);
        t_norm += Seconds(t0);
        t0 = Clock::now();
        tagger.modify(doc);
        t_tag += Seconds(t0);
        t0 = Clock::now();
        g_sink = g_sink + walker.Walk(doc).row_count;
        t_shred += Seconds(t0);
      }
    }
    std::printf("stages: ToDom %.4f  Normalizer %.4f  Tagger %.4f  walk %.4f s\n", t_parse,
                t_norm, t_tag, t_shred);
  }
  if (all || mode == "shred" || mode == "unshred") {
    Pipeline pipeline(arrow);
    Batches atoms;
    shred_s = Fastest(
        runs,
        [&] {
          for (const auto& input : inputs) atoms.push_back(pipeline.controller.shred(input));
        },
        [&] { atoms.clear(); });
    std::int64_t rows = 0, cells = 0;
    for (const auto& a : atoms) {
      rows += a->num_rows();
      cells += a->num_rows() * a->num_columns();
    }
    std::printf("shred: %.4f s  %.1f MB/s  %.0f docs/s  %.2e cells/s  (%lld rows, %lld cells, "
                "%.2f MB atoms)\n",
                shred_s, mb / shred_s, n / shred_s, static_cast<double>(cells) / shred_s,
                static_cast<long long>(rows), static_cast<long long>(cells),
                static_cast<double>(BatchBytes(atoms)) / 1e6);
    if (parse_s > 0) std::printf("ratio shred/parse: %.2f\n", shred_s / parse_s);
    if (all || mode == "unshred") {
      Pipeline reverse(arrow);
      Batches documents;
      const double unshred_s = Fastest(
          runs,
          [&] {
            for (const auto& a : atoms) documents.push_back(reverse.controller.unshred(a));
          },
          [&] { documents.clear(); });
      std::printf("unshred: %.4f s  %.0f docs/s  (unshred/shred docs/s ratio %.2f)\n", unshred_s,
                  n / unshred_s, shred_s / unshred_s);
    }
  }
  if (mode == "ratios") {
    // Parse alone, shred and unshred passes taken in turn, so that the three see the same
    // load; the fastest of each (thread CPU time) and their ratios.
    Pipeline pipeline(arrow);
    Pipeline reverse(arrow);
    Batches atoms;
    Batches documents;
    for (const auto& input : inputs) atoms.push_back(pipeline.controller.shred(input));
    double best_parse = 1e300, best_shred = 1e300, best_unshred = 1e300;
    for (int r = 0; r <= runs; ++r) {
      double t0 = CpuSeconds();
      std::uint64_t total = 0;
      for (auto d : docs) total += nlohmann::json::parse(d).size();
      g_sink = g_sink + total;
      const double parse_pass = CpuSeconds() - t0;
      Batches shredded;
      t0 = CpuSeconds();
      for (const auto& input : inputs) shredded.push_back(pipeline.controller.shred(input));
      const double shred_pass = CpuSeconds() - t0;
      shredded.clear();
      documents.clear();
      t0 = CpuSeconds();
      for (const auto& a : atoms) documents.push_back(reverse.controller.unshred(a));
      const double unshred_pass = CpuSeconds() - t0;
      if (r == 0) continue;  // warm-up
      best_parse = std::min(best_parse, parse_pass);
      best_shred = std::min(best_shred, shred_pass);
      best_unshred = std::min(best_unshred, unshred_pass);
    }
    std::printf("ratios: parse %.4f s  shred %.4f s (%.1f MB/s)  unshred %.4f s  "
                "shred/parse %.2f  unshred docs/s over shred docs/s %.2f\n",
                best_parse, best_shred, mb / best_shred, best_unshred, best_shred / best_parse,
                best_shred / best_unshred);
  }
  if (mode == "codecs") {
    // Shred passes of the two codecs over the same documents taken in turn, so that both see
    // the same load; the fastest of each (thread CPU time) and their ratio.
    if (!arrow) {
      std::fprintf(stderr, "--mode codecs needs --arrow FILE.arrow\n");
      return 2;
    }
    Pipeline json_pipeline(false);
    Pipeline arrow_pipeline(true);
    double best_json = 1e300, best_arrow = 1e300;
    for (int r = 0; r <= runs; ++r) {
      Batches shredded;
      double t0 = CpuSeconds();
      for (const auto& input : json_inputs) shredded.push_back(json_pipeline.controller.shred(input));
      const double json_pass = CpuSeconds() - t0;
      shredded.clear();
      t0 = CpuSeconds();
      for (const auto& input : inputs) shredded.push_back(arrow_pipeline.controller.shred(input));
      const double arrow_pass = CpuSeconds() - t0;
      if (r == 0) continue;  // warm-up
      best_json = std::min(best_json, json_pass);
      best_arrow = std::min(best_arrow, arrow_pass);
    }
    std::printf("codecs: shred json %.4f s  shred arrow %.4f s  arrow/json %.2f\n", best_json,
                best_arrow, best_arrow / best_json);
  }
  if (!write_prefix.empty()) {
    Pipeline pipeline(arrow);
    Batches atoms;
    Batches documents;
    // A failure is written as its message, so that failing inputs compare too.
    try {
      for (const auto& input : inputs) atoms.push_back(pipeline.controller.shred(input));
      Pipeline reverse(arrow);
      for (const auto& a : atoms) documents.push_back(reverse.controller.unshred(a));
    } catch (const std::exception& error) {
      std::ofstream(write_prefix + ".error") << error.what();
    }
    WriteBatches(atoms, write_prefix + ".atoms");
    WriteBatches(documents, write_prefix + ".docs");
  }
  if (mode == "memory") {
    // One shred of all batches after a warm-up on the first batch; the peak resident size
    // above the size just before it, against the input text plus the output atoms.
    Pipeline pipeline(arrow);
    (void)pipeline.controller.shred(inputs.front());
    arrow::default_memory_pool()->ReleaseUnused();
    {
      std::ofstream clear("/proc/self/clear_refs");
      clear << "5";
    }
    const std::int64_t before = ProcStatusKb("VmRSS:");
    Batches atoms;
    for (const auto& input : inputs) atoms.push_back(pipeline.controller.shred(input));
    const std::int64_t peak = ProcStatusKb("VmHWM:");
    const double extra = static_cast<double>(peak - before) * 1024;
    const double out = static_cast<double>(BatchBytes(atoms));
    const double in_bytes = static_cast<double>(BatchBytes(inputs));
    std::printf("memory: extra peak %.1f MB, input %.1f MB, atoms %.1f MB, "
                "(input+extra)/(input+atoms) %.2f, extra/(input+atoms) %.2f\n",
                extra / 1e6, in_bytes / 1e6, out / 1e6, (in_bytes + extra) / (in_bytes + out),
                extra / (in_bytes + out));
  }
  return 0;
}
