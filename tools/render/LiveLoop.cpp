// SPDX-License-Identifier: GPL-3.0-or-later
// The live mode's summary.
#include "tools/render/LiveLoop.h"

#include <cstdio>

namespace sorvane {

void PrintSummary(const LiveLoop& loop, const char* server, const DeviceCounters& in, const DeviceCounters& out,
                  double closeSeconds) {
  std::printf("live: sound server: %s\n", server);
  std::printf("live: %lld capture events, %d processed, %d dropped, %d lengthened, %d shortened\n",
              static_cast<long long>(loop.Handled), loop.Processed, loop.Dropped, loop.Longer, loop.Shorter);
  // The engine counts the song's samples at full scale as it meters each
  // block it plays.
  const uint64_t clipped = loop.Engine->Levels.ClippedSamples.load(std::memory_order_relaxed);
  std::printf("live: song samples clipped: %llu of %lld", static_cast<unsigned long long>(clipped),
              static_cast<long long>(loop.SongSamples));
  if (loop.SongSamples > 0) {
    std::printf(" (%.1f%%)", 100.0 * static_cast<double>(clipped) / static_cast<double>(loop.SongSamples));
  }
  std::printf("\n");
  if (loop.SteeredFrom >= 0) {
    std::printf("live: playback queue from block %lld on: %d to %d buffers\n", static_cast<long long>(loop.SteeredFrom),
                loop.MinQueue, loop.MaxQueue);
  } else {
    const QueueBand& band = loop.Engine->Rate.Band;
    std::printf("live: playback queue: never in the %d..%d band\n", band.Low + 1, band.High - 1);
  }
  std::printf("live: input lost for want of a capture buffer: %llu samples\n",
              static_cast<unsigned long long>(in.IdleFrames));
  std::printf("live: input the server dropped: %llu samples\n", static_cast<unsigned long long>(in.LostFrames));
  if (loop.SteeredFrom >= 0) {
    std::printf(
        "live: silence played for want of a playback buffer once steered: %llu samples\n",
        static_cast<unsigned long long>(std::max(loop.SilentAtClose, loop.SilentAtSteered) - loop.SilentAtSteered));
  }
  std::printf("live: stream over- or underflows: capture %llu, playback %llu\n",
              static_cast<unsigned long long>(in.Overflows + in.Underflows),
              static_cast<unsigned long long>(out.Overflows + out.Underflows));
  if (out.LateBlocks != 0) {
    std::printf("live: blocks whose song left a cycle late: %llu\n", static_cast<unsigned long long>(out.LateBlocks));
  }
  // What the sound system adds on each side, the rest being the engine's
  // block and playback queue.
  auto meanMs = [](const DeviceCounters& c) {
    return c.Callbacks != 0 ? static_cast<double>(c.DeviceLatencyMicros) / static_cast<double>(c.Callbacks) / 1000.0
                            : 0.0;
  };
  std::printf("live: device latency (mean per callback): capture %.1f ms, playback %.1f ms\n", meanMs(in), meanMs(out));

  // The delay once the rate control steers the queue.
  const DelayCounts& delays = loop.SteeredDelays.Count > 0 ? loop.SteeredDelays : loop.AllDelays;
  if (delays.Count > 0) {
    std::printf("live: input-to-output delay: median %.1f ms, min %.1f ms, max %.1f ms over %lld blocks\n",
                delays.Median() / 1000.0, delays.Least / 1000.0, delays.Greatest / 1000.0,
                static_cast<long long>(delays.Count));
    std::printf("live: input-to-output delay: 95th percentile %.1f ms\n", delays.Percentile(95) / 1000.0);
  } else {
    std::printf("live: input-to-output delay: not measured (nothing was played)\n");
  }
  std::printf("live: close: %d capture and %d playback buffers came back, closed in %.0f ms\n", loop.CaptureAfterClose,
              loop.PlaybackAfterClose, closeSeconds * 1000);
}

}  // namespace sorvane
