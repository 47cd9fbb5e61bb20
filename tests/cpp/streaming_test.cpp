#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "training/streaming.h"
#include "training_fixtures.h"

namespace qelm::training {
namespace {

using Clock = std::chrono::steady_clock;
using testing::CountingSampler;
using testing::TestReporter;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

const auto kNoPoll = [] {};

TEST(Producer, BoundedFifoQueueWithBackPressure) {
  TestReporter out;
  CountingSampler sampler;
  const int64_t threads_before = testing::thread_count();
  {
    Producer producer(sampler, 2, out);
    producer.wait_ready(kNoPoll);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Three queued, one more built and waiting for room: the producer is blocked.
    EXPECT_EQ(producer.queued(), 3u);
    EXPECT_EQ(sampler.calls.load(), 4);
    for (int k = 0; k < 10; ++k) {
      SuperBatch b = producer.take(kNoPoll);
      EXPECT_EQ(b.coords[0][0].item<float>(), static_cast<float>(k));
      EXPECT_EQ(b.coords.size(0), 2);
    }
    // Stopping while the producer waits on a full queue returns promptly.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto t0 = Clock::now();
    producer.stop();
    EXPECT_LT(seconds_since(t0), 2.0);
    EXPECT_EQ(producer.queued(), 0u);
  }
  EXPECT_EQ(testing::thread_count(), threads_before);
  EXPECT_TRUE(out.lines.empty());
}

TEST(Producer, ErrorReachesTheConsumerAfterQueuedItems) {
  TestReporter out;
  CountingSampler sampler;
  sampler.fail_at = 2;
  Producer producer(sampler, 1, out);
  EXPECT_EQ(producer.take(kNoPoll).coords[0][0].item<float>(), 0.0f);
  EXPECT_EQ(producer.take(kNoPoll).coords[0][0].item<float>(), 1.0f);
  EXPECT_EQ(testing::thrown<ProducerError>([&] { producer.take(kNoPoll); }), "Producer Thread Error: disk vanished");
  EXPECT_TRUE(out.has_line("Producer Thread Error: disk vanished"));
  EXPECT_FALSE(producer.running());

  // A source that never yields a point ends the wait instead of spinning forever.
  CountingSampler empty;
  empty.always_empty = true;
  Producer starved(empty, 1, out, 3, /*max_empty_draws=*/50);
  EXPECT_THROW(starved.take(kNoPoll), ProducerError);
  EXPECT_EQ(empty.calls.load(), 50);
  EXPECT_TRUE(out.has_line_starting("Producer Thread Error: no training point drawn in 50 attempts"));
}

TEST(Producer, ConsumerWaitPollsAndCanBeInterrupted) {
  TestReporter out;
  CountingSampler slow;
  slow.delay_ms = 400;
  const int64_t threads_before = testing::thread_count();
  int polls = 0;
  const auto t0 = Clock::now();
  EXPECT_EQ(testing::thrown<std::runtime_error>([&] {
              Producer producer(slow, 1, out);
              producer.wait_ready([&] { if (++polls == 2) throw std::runtime_error("interrupted"); });
            }),
            "interrupted");
  // Polls come every 0.1 s; leaving the scope joined the thread.
  EXPECT_LT(seconds_since(t0), 1.5);
  EXPECT_EQ(testing::thread_count(), threads_before);
}

}  // namespace
}  // namespace qelm::training
