// qi_bench --retry-frames [MICROSECONDS]: the frames of a game whose armour
// icon VHud cannot load, against a FlushFileBuffers that takes MICROSECONDS
// (default 8000, about a hard disk's write-through). Every 31st frame
// retries the load and logs a [LOAD] and a [WARN] line. Prints the steady
// frame (the median of the others), the worst retry frame and the worst
// frame, and the render thread's flushes; fails when it made any (a test).
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "bench.h"
#include "sim/sim.h"
#include "standin/game_image.h"
#include "standin/sim_world.h"
#include "standin/vhud_image.h"

namespace bench {

// The icon retry countdown's full period, as a retry frame leaves it.
constexpr int32_t kRetryPeriod = 30;

int RetryFrames(uint32_t flushMicroseconds) {
  World& w = TheWorld();
  w.Configure("steady");
  standin::SetLoadResults(static_cast<uint32_t>(standin::MakeTexture(64, 64)), 0);
  gState.armourIcon.texture = 0;
  gState.iconRetryCountdown = 0;
  sim::Fault().flushFileBuffersMicroseconds = flushMicroseconds;
  const size_t flushesBefore = sim::Record().flushThreads.size();
  constexpr int kFrames = 31 * 10;
  std::vector<double> steady, retries;
  for (int i = 0; i < kFrames; ++i) {
    auto start = std::chrono::steady_clock::now();
    w.Frame();
    double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    // A retry frame sets the countdown back to its full period.
    (gState.iconRetryCountdown == kRetryPeriod ? retries : steady).push_back(ns);
  }
  sim::Fault().flushFileBuffersMicroseconds = 0;
  const std::vector<std::thread::id>& flushers = sim::Record().flushThreads;
  long renderFlushes = std::count(flushers.begin() + static_cast<long>(flushesBefore),
                                  flushers.end(), std::this_thread::get_id());
  std::sort(steady.begin(), steady.end());
  std::sort(retries.begin(), retries.end());
  double median = steady.empty() ? 0 : steady[steady.size() / 2];
  double worstRetry = retries.empty() ? 0 : retries.back();
  double worst = std::max(worstRetry, steady.empty() ? 0 : steady.back());
  printf("retry frames with a %u us flush: %d frames, %zu retries\n", flushMicroseconds, kFrames,
         retries.size());
  printf("  steady frame (median) %12.1f ns\n", median);
  printf("  worst retry frame     %12.1f ns  (%.1f x steady)\n", worstRetry,
         median > 0 ? worstRetry / median : 0);
  printf("  worst frame           %12.1f ns\n", worst);
  printf("  flushes on the render thread: %ld\n", renderFlushes);
  return renderFlushes == 0 && retries.size() == 10 ? 0 : 1;
}

}  // namespace bench
