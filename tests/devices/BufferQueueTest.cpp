// SPDX-License-Identifier: GPL-3.0-or-later
// The buffer queue's rules on synthetic clocks: what it refuses, ring wrap,
// what a reset hands back, and when a played buffer counts as done.
#include "audio/BufferQueue.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace sorvane {
namespace {

constexpr uint32_t kFrames = 220;

struct Buffer {
  std::array<int16_t, kFrames> Samples{};
  WaveHeader Header{Samples.data(), kFrames * 2, 0, 0, 0, 0, nullptr, 0};
};

// Records every buffer the queue finishes, with the clock at that moment.
struct Finished {
  std::vector<WaveHeader*> Headers;
  std::vector<int64_t> AtUs;
  int64_t NowUs = 0;
  static void Handler(void* self, WaveHeader& header) {
    auto* f = static_cast<Finished*>(self);
    f->Headers.push_back(&header);
    f->AtUs.push_back(f->NowUs);
  }
};

TEST(BufferQueue, RefusesUnpreparedTwiceQueuedAndUnprepareWhileQueued) {
  Finished done;
  BufferQueue queue(BufferQueueKind::Playback, &Finished::Handler, &done);
  Buffer a;
  EXPECT_FALSE(queue.Queue(a.Header));  // not prepared
  ASSERT_TRUE(queue.Prepare(a.Header));
  ASSERT_TRUE(queue.Queue(a.Header));
  EXPECT_FALSE(queue.Queue(a.Header));      // already queued
  EXPECT_FALSE(queue.Unprepare(a.Header));  // still with the device
  EXPECT_FALSE(queue.Prepare(a.Header));
  EXPECT_EQ(queue.Queued(), 1u);
  queue.ReturnAll();
  EXPECT_TRUE(queue.Unprepare(a.Header));
  EXPECT_FALSE(queue.Queue(a.Header));  // unprepared again

  Buffer odd;
  odd.Header.BufferLength = 3;
  EXPECT_FALSE(queue.Prepare(odd.Header));
  Buffer empty;
  empty.Header.Data = nullptr;
  EXPECT_FALSE(queue.Prepare(empty.Header));
}

TEST(BufferQueue, CaptureRingWrapsAndLostFramesAreCounted) {
  Finished done;
  BufferQueue queue(BufferQueueKind::Capture, &Finished::Handler, &done);
  std::array<Buffer, 3> buffers;
  for (Buffer& b : buffers) ASSERT_TRUE(queue.Prepare(b.Header));
  std::array<int16_t, 110> input{};
  int16_t next = 0;
  // Three buffers cycled three times the ring's length, in half blocks.
  const uint32_t rounds = 3 * BufferQueue::kCapacity;
  for (uint32_t i = 0; i < rounds; ++i) {
    WaveHeader& h = buffers[i % 3].Header;
    ASSERT_TRUE(queue.Queue(h)) << i;
    for (int half = 0; half < 2; ++half) {
      for (int16_t& s : input) s = next++;
      queue.Capture(input.data(), 110, int64_t{1000} + i * 10000 + half * 5000);
    }
    ASSERT_EQ(done.Headers.size(), i + 1);
    ASSERT_EQ(done.Headers.back(), &h);
    ASSERT_EQ(h.BytesRecorded, kFrames * 2);
    ASSERT_EQ(h.FirstSampleAtUs, 1000u + i * 10000);
    ASSERT_EQ(h.Data[kFrames - 1], static_cast<int16_t>(next - 1));
  }
  EXPECT_EQ(queue.IdleFrames(), 0u);
  queue.Capture(input.data(), 110, 0);  // no buffer queued
  EXPECT_EQ(queue.IdleFrames(), 110u);
  EXPECT_EQ(queue.BuffersDone(), rounds);
}

TEST(BufferQueue, ResetReturnsThePartlyFilledFrontBufferFirst) {
  Finished done;
  BufferQueue queue(BufferQueueKind::Capture, &Finished::Handler, &done);
  std::array<Buffer, 3> buffers;
  for (Buffer& b : buffers) {
    ASSERT_TRUE(queue.Prepare(b.Header));
    ASSERT_TRUE(queue.Queue(b.Header));
  }
  std::array<int16_t, 330> input{};
  queue.Capture(input.data(), 330, 0);  // one full, the next half filled
  ASSERT_EQ(done.Headers.size(), 1u);
  queue.ReturnAll();
  ASSERT_EQ(done.Headers.size(), 3u);
  EXPECT_EQ(done.Headers[1], &buffers[1].Header);
  EXPECT_EQ(done.Headers[2], &buffers[2].Header);
  EXPECT_EQ(buffers[1].Header.BytesRecorded, 110u * 2);
  EXPECT_EQ(buffers[2].Header.BytesRecorded, 0u);
  EXPECT_EQ(queue.Queued(), 0u);
  EXPECT_EQ(queue.BuffersDone(), 1u);  // a reset's returns are not the server's
  // The next buffer queued starts filling from its first sample.
  ASSERT_TRUE(queue.Queue(buffers[0].Header));
  queue.Capture(input.data(), kFrames, 7);
  EXPECT_EQ(done.Headers.back(), &buffers[0].Header);
  EXPECT_EQ(buffers[0].Header.FirstSampleAtUs, 7u);
}

TEST(BufferQueue, PlaybackWithoutTimesIsDoneWhenHandedOut) {
  Finished done;
  BufferQueue queue(BufferQueueKind::Playback, &Finished::Handler, &done);
  Buffer a;
  for (uint32_t i = 0; i < kFrames; ++i) a.Samples[i] = static_cast<int16_t>(i + 1);
  ASSERT_TRUE(queue.Prepare(a.Header));
  ASSERT_TRUE(queue.Queue(a.Header));
  std::array<int16_t, 200> out{};
  queue.PlayUntimed(out.data(), 200);
  EXPECT_TRUE(done.Headers.empty());
  out.fill(-1);
  queue.PlayUntimed(out.data(), 200);
  ASSERT_EQ(done.Headers.size(), 1u);
  EXPECT_EQ(out[19], 220);
  EXPECT_EQ(out[20], 0);  // silence after the queue ran dry
  EXPECT_EQ(queue.IdleFrames(), 180u);
  // A server whose reported time is already past counts as giving none.
  ASSERT_TRUE(queue.Queue(a.Header));
  std::array<int16_t, kFrames> whole{};
  queue.Play(whole.data(), kFrames, 50000, 40000);
  EXPECT_EQ(done.Headers.size(), 2u);
}

TEST(BufferQueue, PlaybackTrustsAtMostItsCapOfWhatTheServerHolds) {
  Finished done;
  BufferQueue queue(BufferQueueKind::Playback, &Finished::Handler, &done);
  Buffer a;
  ASSERT_TRUE(queue.Prepare(a.Header));
  ASSERT_TRUE(queue.Queue(a.Header));
  // 110-frame callbacks; the server claims to hold 500 ms.
  const int64_t period = 110 * 1000000 / kSampleRate;
  std::array<int16_t, 110> out{};
  for (int64_t now = 100000; now < 1000000 && done.Headers.empty(); now += period) {
    done.NowUs = now;
    queue.Play(out.data(), 110, now, now + 500000);
  }
  ASSERT_EQ(done.Headers.size(), 1u);
  // Its last sample was handed out in the second callback; with the cap
  // held, it is done after the cap, within one callback.
  const int64_t lastHandedOut = 100000 + period;
  EXPECT_GE(done.AtUs[0], lastHandedOut + BufferQueue::kDefaultMaxServerHoldUs);
  EXPECT_LE(done.AtUs[0], lastHandedOut + BufferQueue::kDefaultMaxServerHoldUs + 2 * period);
  // A server that reports little is believed: done once that has played.
  ASSERT_TRUE(queue.Queue(a.Header));
  done.NowUs = 2000000;
  queue.Play(out.data(), 110, 2000000, 2001000);
  queue.Play(out.data(), 110, 2000000 + period, 2001000 + period);
  EXPECT_EQ(done.Headers.size(), 1u);
  done.NowUs = 2001000 + 2 * period;
  queue.Play(out.data(), 110, done.NowUs, done.NowUs + 1000);
  EXPECT_EQ(done.Headers.size(), 2u);

  // Done on hand-out: the buffer comes back with the next callback after
  // its last sample went to the server, while its time still says when the
  // server plays it.
  queue.SetDoneOnHandOut(true);
  ASSERT_TRUE(queue.Queue(a.Header));
  done.NowUs = 3000000;
  queue.Play(out.data(), 110, done.NowUs, done.NowUs + 20000);
  EXPECT_EQ(a.Header.FirstSampleAtUs, 3020000u);
  done.NowUs += period;
  queue.Play(out.data(), 110, done.NowUs, done.NowUs + 20000);
  EXPECT_EQ(done.Headers.size(), 2u);
  done.NowUs += period;
  queue.Play(out.data(), 110, done.NowUs, done.NowUs + 20000);
  EXPECT_EQ(done.Headers.size(), 3u);
}

// Silence played while the song is late is skipped from the song that comes
// next, up to 20 ms; silence while it is not (the queue only ran dry) is not.
TEST(BufferQueue, SilenceForLateSongIsSkippedFromItsFrontUpTo20Ms) {
  Finished done;
  BufferQueue queue(BufferQueueKind::Playback, &Finished::Handler, &done);
  queue.SetDoneOnHandOut(true);
  std::array<Buffer, 4> song;
  for (Buffer& b : song) {
    for (uint32_t i = 0; i < kFrames; ++i) b.Samples[i] = static_cast<int16_t>(i + 1);
    ASSERT_TRUE(queue.Prepare(b.Header));
  }
  std::array<int16_t, 110> out{};
  int64_t now = 1000000;
  auto play = [&](bool late) {
    done.NowUs = now;
    queue.Play(out.data(), 110, now, now + 10000, late);
    now += 110 * 1000000 / kSampleRate;
  };
  play(false);  // dry, not late: nothing owed
  ASSERT_TRUE(queue.Queue(song[0].Header));
  play(false);
  EXPECT_EQ(out[0], 1);
  play(false);
  const int64_t silenceUs = now + 10000;
  play(true);  // song[0] played out; 110 frames of silence for late song
  EXPECT_EQ(out[0], 0);
  ASSERT_TRUE(queue.Queue(song[1].Header));
  play(false);
  EXPECT_EQ(out[0], 111) << "the late song did not start where it would have been";
  EXPECT_EQ(song[1].Header.FirstSampleAtUs, static_cast<uintptr_t>(silenceUs));
  // Late for 550 frames (25 ms): 441 (20 ms) skipped, two buffers whole.
  for (int i = 0; i < 5; ++i) play(true);
  ASSERT_TRUE(queue.Queue(song[2].Header));
  ASSERT_TRUE(queue.Queue(song[0].Header));
  ASSERT_TRUE(queue.Queue(song[3].Header));
  play(false);
  EXPECT_EQ(out[0], 2);
  EXPECT_EQ(queue.IdleFrames(), 110u + 110u + 550u);
}

}  // namespace
}  // namespace sorvane
