// SPDX-License-Identifier: GPL-3.0-or-later
// The cross-thread event queue: order, wake-up descriptor, re-entrant
// dispatch from a nested loop, many producers at once, and a full queue.
#include <poll.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "audio/EventQueue.h"

namespace sorvane {
namespace {

bool Readable(int fd) {
  pollfd pfd{fd, POLLIN, 0};
  return poll(&pfd, 1, 0) == 1;
}

struct Seen {
  DeviceKind Kind;
  uintptr_t User;
};

struct Recorder {
  std::vector<Seen> Events;
  static void Handle(void* context, DeviceKind kind, WaveHeader& header) {
    static_cast<Recorder*>(context)->Events.push_back({kind, header.User});
  }
};

std::vector<WaveHeader> MakeHeaders(size_t n) {
  std::vector<WaveHeader> headers(n);
  for (size_t i = 0; i < n; ++i) headers[i] = WaveHeader{nullptr, 0, 0, i, 0, 0, nullptr, 0};
  return headers;
}

TEST(AudioEventQueue, DeliversInPostOrderWithKindAndHeader) {
  AudioEventQueue queue;
  auto headers = MakeHeaders(6);
  Recorder rec;
  EXPECT_FALSE(queue.DispatchOne(&Recorder::Handle, &rec));
  for (size_t i = 0; i < headers.size(); ++i) {
    queue.Post(i % 3 == 0 ? DeviceKind::Playback : DeviceKind::Capture, &headers[i]);
  }
  EXPECT_EQ(queue.DispatchAll(&Recorder::Handle, &rec), 6);
  ASSERT_EQ(rec.Events.size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(rec.Events[i].User, i);
    EXPECT_EQ(rec.Events[i].Kind, i % 3 == 0 ? DeviceKind::Playback : DeviceKind::Capture);
  }
  EXPECT_TRUE(queue.Empty());
}

TEST(AudioEventQueue, WakeDescriptorIsReadableExactlyWhileEventsPend) {
  AudioEventQueue queue;
  auto headers = MakeHeaders(3);
  Recorder rec;
  EXPECT_FALSE(Readable(queue.WakeFd()));
  EXPECT_FALSE(queue.Wait(0));
  for (auto& h : headers) queue.Post(DeviceKind::Capture, &h);
  EXPECT_TRUE(Readable(queue.WakeFd()));
  // One event taken, two left: the loop must be woken again for them.
  ASSERT_TRUE(queue.DispatchOne(&Recorder::Handle, &rec));
  EXPECT_TRUE(Readable(queue.WakeFd()));
  ASSERT_TRUE(queue.DispatchOne(&Recorder::Handle, &rec));
  EXPECT_TRUE(Readable(queue.WakeFd()));
  ASSERT_TRUE(queue.DispatchOne(&Recorder::Handle, &rec));
  // The last pop may leave a stale wake-up; looking once more clears it, so
  // an idle loop does not spin.
  EXPECT_FALSE(queue.DispatchOne(&Recorder::Handle, &rec));
  EXPECT_FALSE(Readable(queue.WakeFd()));
}

TEST(AudioEventQueue, WaitReturnsWhenAnotherThreadPosts) {
  AudioEventQueue queue;
  WaveHeader header{nullptr, 0, 0, 7, 0, 0, nullptr, 0};
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    queue.Post(DeviceKind::Playback, &header);
  });
  EXPECT_TRUE(queue.Wait(5000));
  poster.join();
  Recorder rec;
  EXPECT_EQ(queue.DispatchAll(&Recorder::Handle, &rec), 1);
  ASSERT_EQ(rec.Events.size(), 1u);
  EXPECT_EQ(rec.Events[0].User, 7u);
}

// A handler that shows a modal box runs a nested event loop; events handled
// there must be the next ones in order, none twice, and whatever the nested
// loop leaves must still wake the outer loop.
struct NestingHandler {
  AudioEventQueue* Queue;
  std::vector<uintptr_t> Started;
  std::vector<size_t> HandledBefore;  // Handled() as each handler starts
  int Depth = 0;
  static void Handle(void* context, DeviceKind, WaveHeader& header) {
    auto* self = static_cast<NestingHandler*>(context);
    self->Started.push_back(header.User);
    self->HandledBefore.push_back(self->Queue->Handled());
    if (header.User == 1 && self->Depth == 0) {
      ++self->Depth;
      // The nested loop handles two events and is then closed.
      self->Queue->DispatchOne(&NestingHandler::Handle, self);
      self->Queue->DispatchOne(&NestingHandler::Handle, self);
      --self->Depth;
      self->Started.push_back(1000);  // the outer handler resumes
    }
  }
};

TEST(AudioEventQueue, NestedDispatchContinuesInOrderWithoutRepeats) {
  AudioEventQueue queue;
  auto headers = MakeHeaders(6);
  for (auto& h : headers) queue.Post(DeviceKind::Capture, &h);
  NestingHandler handler{&queue, {}, {}, 0};
  ASSERT_TRUE(queue.DispatchOne(&NestingHandler::Handle, &handler));  // event 0
  ASSERT_TRUE(queue.DispatchOne(&NestingHandler::Handle, &handler));  // event 1, nesting 2 and 3
  EXPECT_TRUE(Readable(queue.WakeFd()));
  EXPECT_EQ(queue.DispatchAll(&NestingHandler::Handle, &handler), 2);
  EXPECT_EQ(handler.Started, (std::vector<uintptr_t>{0, 1, 2, 3, 1000, 4, 5}));
  // An event counts as handled once its handler has returned, and the outer
  // handler's return does not take back what the nested loop handled: a
  // server thread waiting for Handled() to reach Posted() waits for all.
  EXPECT_EQ(handler.HandledBefore, (std::vector<size_t>{0, 1, 1, 3, 4, 5}));
  EXPECT_EQ(queue.Handled(), queue.Posted());
}

// An engine that falls behind must not hold the event thread: a pass ends
// with the events that were there when it began.
TEST(AudioEventQueue, APassLeavesEventsPostedDuringItForTheNextPass) {
  AudioEventQueue queue;
  auto headers = MakeHeaders(4);
  struct Reposter {
    AudioEventQueue* Queue;
    WaveHeader* Next;
    int Count = 0;
    static void Handle(void* context, DeviceKind, WaveHeader&) {
      auto* self = static_cast<Reposter*>(context);
      if (self->Count++ < 2) self->Queue->Post(DeviceKind::Playback, self->Next++);
    }
  } reposter{&queue, &headers[2]};
  queue.Post(DeviceKind::Capture, &headers[0]);
  queue.Post(DeviceKind::Capture, &headers[1]);
  EXPECT_EQ(queue.DispatchAll(&Reposter::Handle, &reposter), 2);
  EXPECT_TRUE(Readable(queue.WakeFd()));
  EXPECT_EQ(queue.DispatchAll(&Reposter::Handle, &reposter), 2);
  EXPECT_TRUE(queue.Empty());
}

TEST(AudioEventQueue, ManyProducersKeepEachOrderAndLoseNothing) {
  constexpr int kProducers = 3;
  constexpr int kPerProducer = 20000;
  AudioEventQueue queue;
  auto headers = MakeHeaders(kProducers * kPerProducer);  // producer p posts p * kPerProducer on
  std::atomic<int> inFlight{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        // Like the devices, never more outstanding than the queue holds.
        while (inFlight.load(std::memory_order_acquire) >= static_cast<int>(AudioEventQueue::kCapacity) - 8) {
          std::this_thread::yield();
        }
        inFlight.fetch_add(1, std::memory_order_acq_rel);
        queue.Post(p == 1 ? DeviceKind::Playback : DeviceKind::Capture, &headers[p * kPerProducer + i]);
      }
    });
  }
  struct Checker {
    std::array<int, kProducers> Next{};
    std::atomic<int>* InFlight;
    int Errors = 0;
    int Total = 0;
    static void Handle(void* context, DeviceKind kind, WaveHeader& header) {
      auto* self = static_cast<Checker*>(context);
      const int p = static_cast<int>(header.User) / kPerProducer;
      const int i = static_cast<int>(header.User) % kPerProducer;
      if (i != self->Next[p] || kind != (p == 1 ? DeviceKind::Playback : DeviceKind::Capture)) ++self->Errors;
      self->Next[p] = i + 1;
      ++self->Total;
      self->InFlight->fetch_sub(1, std::memory_order_acq_rel);
    }
  } checker;
  checker.InFlight = &inFlight;
  while (checker.Total < kProducers * kPerProducer) {
    if (!queue.Wait(5000)) break;
    queue.DispatchAll(&Checker::Handle, &checker);
  }
  for (auto& t : producers) t.join();
  queue.DispatchAll(&Checker::Handle, &checker);
  EXPECT_EQ(checker.Total, kProducers * kPerProducer);
  EXPECT_EQ(checker.Errors, 0);
  EXPECT_EQ(queue.Overflows(), 0u);
}

TEST(AudioEventQueue, FullQueueCountsTheLostEventAndKeepsTheRest) {
  AudioEventQueue queue;
  auto headers = MakeHeaders(AudioEventQueue::kCapacity + 2);
  for (auto& h : headers) queue.Post(DeviceKind::Capture, &h);
  EXPECT_EQ(queue.Overflows(), 2u);
  Recorder rec;
  EXPECT_EQ(queue.DispatchAll(&Recorder::Handle, &rec), static_cast<int>(AudioEventQueue::kCapacity));
  for (size_t i = 0; i < rec.Events.size(); ++i) ASSERT_EQ(rec.Events[i].User, i);
  // The slots are reusable after a wrap.
  queue.Post(DeviceKind::Playback, &headers[0]);
  rec.Events.clear();
  EXPECT_EQ(queue.DispatchAll(&Recorder::Handle, &rec), 1);
  EXPECT_EQ(rec.Events[0].Kind, DeviceKind::Playback);
}

// MIDI messages travel with the audio events, in post order, to their own
// handler; a flood of them is cut at its share of the queue, so that every
// buffer's event still finds a cell.
TEST(AudioEventQueue, MidiMessagesKeepTheirOrderAndNeverCrowdOutBufferEvents) {
  AudioEventQueue queue;
  auto headers = MakeHeaders(2 * 101);
  Recorder rec;
  struct MidiSeen {
    std::vector<std::vector<uint8_t>> Messages;
    Recorder* Audio;
    static void Handle(void* context, const uint8_t* bytes, size_t length) {
      auto* self = static_cast<MidiSeen*>(context);
      self->Messages.emplace_back(bytes, bytes + length);
      // Marks the place of the message among the audio events.
      self->Audio->Events.push_back({DeviceKind::Midi, self->Messages.size()});
    }
  } midi{{}, &rec};
  queue.SetMidiHandler(&MidiSeen::Handle, &midi);

  const uint8_t on[3] = {0x90, 60, 100};
  const uint8_t program[2] = {0xC0, 5};
  const uint8_t sysex[4] = {0xF0, 1, 2, 0xF7};
  queue.Post(DeviceKind::Capture, &headers[0]);
  queue.PostMidi(on, 3);
  queue.PostMidi(sysex, 4);  // too long for a channel message: not posted
  queue.Post(DeviceKind::Playback, &headers[1]);
  queue.PostMidi(program, 2);
  EXPECT_EQ(queue.DispatchAll(&Recorder::Handle, &rec), 4);
  ASSERT_EQ(rec.Events.size(), 4u);
  EXPECT_EQ(rec.Events[0].Kind, DeviceKind::Capture);
  EXPECT_EQ(rec.Events[1].Kind, DeviceKind::Midi);
  EXPECT_EQ(rec.Events[2].Kind, DeviceKind::Playback);
  EXPECT_EQ(rec.Events[3].Kind, DeviceKind::Midi);
  ASSERT_EQ(midi.Messages.size(), 2u);
  EXPECT_EQ(midi.Messages[0], (std::vector<uint8_t>{0x90, 60, 100}));
  EXPECT_EQ(midi.Messages[1], (std::vector<uint8_t>{0xC0, 5}));

  // A flood while the event thread is busy, then every buffer comes back;
  // the cells kept for releases still take 128 of them.
  constexpr size_t kOthers = AudioEventQueue::kMidiPending - AudioEventQueue::kMidiReleaseCells;
  const uint8_t off[3] = {0x80, 60, 0};
  for (int i = 0; i < 3000; ++i) queue.PostMidi(on, 3);
  for (auto& h : headers) queue.Post(DeviceKind::Capture, &h);
  for (int i = 0; i < 200; ++i) queue.PostMidi(off, 3, AudioEventQueue::MidiUrgency::Release);
  EXPECT_EQ(queue.Overflows(), 0u);
  EXPECT_EQ(queue.MidiDrops(), 3200u - AudioEventQueue::kMidiPending);
  rec.Events.clear();
  midi.Messages.clear();
  EXPECT_EQ(queue.DispatchAll(&Recorder::Handle, &rec),
            static_cast<int>(AudioEventQueue::kMidiPending + headers.size()));
  ASSERT_EQ(midi.Messages.size(), AudioEventQueue::kMidiPending);
  EXPECT_EQ(midi.Messages[kOthers - 1][0], 0x90);
  EXPECT_EQ(midi.Messages[kOthers][0], 0x80);
  // The share is free again once handled; without a handler MIDI is dropped.
  queue.SetMidiHandler(nullptr, nullptr);
  for (size_t i = 0; i < kOthers; ++i) queue.PostMidi(on, 3);
  EXPECT_EQ(queue.MidiDrops(), 3200u - AudioEventQueue::kMidiPending);
  EXPECT_EQ(queue.DispatchAll(&Recorder::Handle, &rec), static_cast<int>(kOthers));
  EXPECT_EQ(midi.Messages.size(), AudioEventQueue::kMidiPending);
}

}  // namespace
}  // namespace sorvane
