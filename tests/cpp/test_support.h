#pragma once

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace shredder::testing {

/// Runs `body` on a new thread whose stack is `stack_bytes` large and rethrows whatever it
/// threw. Proves that a recursive walk fits a small stack (a crash fails the test binary).
/// Under AddressSanitizer the stack is four times larger: its redzones widen every frame, and
/// whether a frame lives on the real stack or on its fake one depends on what ran before in
/// the process, so the real size is proven by the uninstrumented build.
inline void RunWithStack(std::size_t stack_bytes, const std::function<void()>& body) {
#ifdef __SANITIZE_ADDRESS__
  stack_bytes *= 4;
#endif
  struct Job {
    const std::function<void()>* body;
    std::exception_ptr error;
  } job{&body, nullptr};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stack_bytes);
  pthread_t thread;
  auto entry = [](void* arg) -> void* {
    auto* j = static_cast<Job*>(arg);
    try {
      (*j->body)();
    } catch (...) {
      j->error = std::current_exception();
    }
    return nullptr;
  };
  if (pthread_create(&thread, &attr, entry, &job) != 0) {
    pthread_attr_destroy(&attr);
    throw std::runtime_error("pthread_create failed");
  }
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  if (job.error) std::rethrow_exception(job.error);
}

using Json = nlohmann::json;

inline constexpr std::size_t kOneMiB = 1 << 20;
inline constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
inline constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

#ifdef SHREDDER_SHARED_DATA_DIR
/// The real-world and conformance files kept beside the repository.
inline const std::filesystem::path kSharedData = SHREDDER_SHARED_DATA_DIR;
#endif

/// The message of whatever `fn` throws, or a marker when it throws nothing.
template <typename Fn>
std::string MessageOf(Fn&& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no exception>";
}

/// The message of the std::runtime_error `fn` throws; any other exception escapes, so that a
/// failure of the wrong kind is not taken for the expected one.
template <typename Fn>
std::string RuntimeErrorOf(Fn&& fn) {
  try {
    fn();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no runtime_error>";
}

/// Names each case of a parameterised suite by its `name` field.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

/// The whole content of a file.
inline std::string ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), {}};
}

/// The .json and .ndjson files under `folder`, at any depth, in path order.
inline std::vector<std::filesystem::path> DataFilesUnder(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    const auto ext = entry.path().extension();
    if (entry.is_regular_file() && (ext == ".json" || ext == ".ndjson")) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

/// Whether the documents of a .json file whose root is an array include each element too.
enum class ArrayRoot { WholeOnly, AlsoEachElement };

/// The documents of one file: each non-empty line of an .ndjson file; the whole text of a
/// .json file and, with `AlsoEachElement` and an array at its root, each element written
/// compactly on its own.
inline std::vector<std::string> DocumentsOf(const std::filesystem::path& path,
                                            ArrayRoot array_root) {
  const std::string text = ReadWhole(path);
  std::vector<std::string> documents;
  if (path.extension() == ".ndjson") {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty()) documents.push_back(line);
    }
    return documents;
  }
  documents.push_back(text);
  if (array_root == ArrayRoot::AlsoEachElement) {
    const auto root = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (root.is_array()) {
      for (const auto& element : root) documents.push_back(element.dump());
    }
  }
  return documents;
}

}  // namespace shredder::testing
