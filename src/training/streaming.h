// Threaded training input: one producer thread fills a bounded queue of host super batches
// while the training thread consumes them, so host sampling and I/O overlap device work.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "common.h"
#include "training/sampling.h"

namespace qelm::training {

// The producer stopped on an error (its text), or can never produce a super batch.
class ProducerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The text of an exception as a user should read it (no library backtraces).
std::string error_text(const std::exception& e);

// Runs `sampler` on its own thread and queues at most `capacity` super batches. The thread is
// stopped and joined by stop() or the destructor, so it never outlives the sampler it reads.
//
// Errors of the sampler are printed as "Producer Thread Error: {text}" and end the thread; the
// consumer then gets a ProducerError as soon as the queue has run dry. A sampler that reports
// itself exhausted, or draws nothing `max_empty_draws` times in a row, ends the same way.
class Producer {
 public:
  Producer(SuperBatchSampler& sampler, int64_t super_batch_size, Reporter& out,
           size_t capacity = 3, int64_t max_empty_draws = 1000);
  ~Producer();
  Producer(const Producer&) = delete;
  Producer& operator=(const Producer&) = delete;

  // Waits until the queue holds an item, polling every 0.1 s and calling `on_poll` (which may
  // throw, e.g. on a user interrupt) between polls. Throws ProducerError when none can come.
  void wait_ready(const std::function<void()>& on_poll);
  // Takes the next super batch, waiting for it as wait_ready does.
  SuperBatch take(const std::function<void()>& on_poll);
  // Sets the stop flag, discards every queued item (unblocking a producer waiting for room)
  // and joins the thread. Idempotent.
  void stop();

  size_t queued() const;
  bool running() const;

 private:
  void run();
  void fail(const std::string& text);

  SuperBatchSampler& sampler_;
  const int64_t size_;
  Reporter& out_;
  const size_t capacity_;
  const int64_t max_empty_draws_;

  mutable std::mutex mutex_;
  std::condition_variable not_empty_;
  std::condition_variable not_full_;
  std::deque<SuperBatch> queue_;
  bool stop_ = false;
  bool done_ = false;
  std::string error_;
  std::thread thread_;
};

}  // namespace qelm::training
