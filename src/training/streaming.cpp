#include "training/streaming.h"

#include <c10/util/Exception.h>

#include <chrono>

namespace qelm::training {

std::string error_text(const std::exception& e) {
  if (const auto* ce = dynamic_cast<const c10::Error*>(&e)) return ce->what_without_backtrace();
  return e.what();
}

Producer::Producer(SuperBatchSampler& sampler, int64_t super_batch_size, Reporter& out,
                   size_t capacity, int64_t max_empty_draws)
    : sampler_(sampler),
      size_(super_batch_size),
      out_(out),
      capacity_(capacity),
      max_empty_draws_(max_empty_draws) {
  thread_ = std::thread([this] { run(); });
}

Producer::~Producer() { stop(); }

void Producer::fail(const std::string& text) {
  try {
    out_.line("Producer Thread Error: " + text);
  } catch (...) {
    // The consumer still learns of the failure below.
  }
  std::lock_guard<std::mutex> lock(mutex_);
  error_ = text.empty() ? std::string("unknown error") : text;
  done_ = true;
  not_empty_.notify_all();
}

void Producer::run() {
  int64_t empty_in_row = 0;
  try {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) break;
      }
      std::optional<SuperBatch> batch = sampler_.next(size_);
      if (!batch) {
        if (sampler_.exhausted()) {
          fail("no valid training point to sample");
          return;
        }
        if (++empty_in_row >= max_empty_draws_) {
          fail("no training point drawn in " + std::to_string(empty_in_row) + " attempts in a row");
          return;
        }
        continue;
      }
      empty_in_row = 0;
      std::unique_lock<std::mutex> lock(mutex_);
      not_full_.wait(lock, [this] { return stop_ || queue_.size() < capacity_; });
      if (stop_) break;
      queue_.push_back(std::move(*batch));
      not_empty_.notify_one();
    }
  } catch (const std::exception& e) {
    fail(error_text(e));
    return;
  } catch (...) {
    fail("unknown error");
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = true;
  not_empty_.notify_all();
}

void Producer::wait_ready(const std::function<void()>& on_poll) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (queue_.empty()) {
    if (done_) {
      throw ProducerError(error_.empty() ? std::string("the producer thread stopped")
                                         : "Producer Thread Error: " + error_);
    }
    lock.unlock();
    if (on_poll) on_poll();
    lock.lock();
    not_empty_.wait_for(lock, std::chrono::milliseconds(100),
                        [this] { return !queue_.empty() || done_; });
  }
}

SuperBatch Producer::take(const std::function<void()>& on_poll) {
  wait_ready(on_poll);
  std::lock_guard<std::mutex> lock(mutex_);
  SuperBatch item = std::move(queue_.front());
  queue_.pop_front();
  not_full_.notify_one();
  return item;
}

void Producer::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    queue_.clear();
    not_full_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

size_t Producer::queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

bool Producer::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !done_ && !stop_;
}

}  // namespace qelm::training
