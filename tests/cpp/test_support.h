#pragma once

#include <pthread.h>

#include <cstddef>
#include <exception>
#include <functional>
#include <stdexcept>

namespace shredder::testing {

/// Runs `body` on a new thread whose stack is `stack_bytes` large and rethrows whatever it
/// threw. Proves that a recursive walk fits a small stack (a crash fails the test binary).
inline void RunWithStack(std::size_t stack_bytes, const std::function<void()>& body) {
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

inline constexpr std::size_t kOneMiB = 1 << 20;

}  // namespace shredder::testing
