// SPDX-License-Identifier: GPL-3.0-or-later
// Counts the heap allocations and the locks taken while the plugin's run()
// and its worker's response work: notes at any velocity, the pedal, the
// wheel, pitch bends, every control moved, blocks of every size, and a
// phrase captured, loaded and restored. There must be none. This binary's operator new, malloc and
// mutex functions are exported, so the plugin's calls reach them too.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <iterator>

#include "tests/plugin/PluginHost.h"
#include "tests/support/AllocationCount.h"
#include "tests/support/TempDir.h"

// malloc and its kin counted with operator new, for the C code in the
// plugin (libsamplerate) and any direct call.
extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* p, size_t size);
namespace {
void CountMalloc() {
  if (sorvane::test::CountingAllocations.load(std::memory_order_relaxed)) {
    sorvane::test::CountedAllocations.fetch_add(1, std::memory_order_relaxed);
  }
}
}  // namespace
extern "C" void* malloc(size_t size) {
  CountMalloc();
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
  CountMalloc();
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, size_t size) {
  CountMalloc();
  return __libc_realloc(p, size);
}

// Mutexes locked (std::mutex and pthread mutexes), counted while
// allocations are.
namespace {
std::atomic<long> CountedLocks{0};
void CountLock() {
  if (sorvane::test::CountingAllocations.load(std::memory_order_relaxed)) {
    CountedLocks.fetch_add(1, std::memory_order_relaxed);
  }
}
}  // namespace
extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) {
  using Lock = int (*)(pthread_mutex_t*);
  static Lock real = reinterpret_cast<Lock>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
  CountLock();
  return real(mutex);
}

namespace sorvane {
namespace {

using test::TimedMidi;

// Heap allocations and locks during the plugin's audio-thread calls.
struct Counted {
  long Allocations = 0;
  long Locks = 0;
};

// Runs one block of the host's cycle, counting run() and the worker's
// responses; the worker's jobs themselves run uncounted between them.
void CountedRun(test::PluginHost& host, Counted& counted, const float* voice, float* left, float* right,
                uint32_t frames, int64_t at, const std::vector<TimedMidi>& midi) {
  host.Prepare(voice, left, right, frames, at, midi);
  CountedLocks = 0;
  test::StartCountingAllocations();
  lilv_instance_run(host.Raw(), frames);
  counted.Allocations += test::StopCountingAllocations();
  counted.Locks += CountedLocks;
  host.DoWork();
  CountedLocks = 0;
  test::StartCountingAllocations();
  host.DeliverResponses();
  counted.Allocations += test::StopCountingAllocations();
  counted.Locks += CountedLocks;
}

TEST(PluginRun, AllocatesAndLocksNothing) {
  const std::vector<int16_t> speech = test::ReadSpeech();
  for (double rate : {48000.0, 22050.0}) {
    SCOPED_TRACE(testing::Message() << rate << " Hz");
    test::PluginHost host(rate);
    std::vector<float> voice(static_cast<size_t>(rate * 3));
    for (size_t i = 0; i < voice.size(); ++i) voice[i] = speech[i * 22050 / static_cast<size_t>(rate)] / 32768.0f;
    std::vector<TimedMidi> midi;
    for (int n = 0; n < 10; ++n) midi.push_back({1000 + 3000 * n, {0x90, static_cast<uint8_t>(50 + 3 * n), 100}});
    midi.push_back({20000, {0xB0, 1, 100}});   // the wheel
    midi.push_back({25000, {0xB0, 64, 127}});  // the pedal down
    midi.push_back({26000, {0x80, 53, 0}});
    midi.push_back({40000, {0xB0, 64, 0}});
    midi.push_back({60000, {0xB0, 123, 0}});  // all notes off
    midi.push_back({62000, {0x90, 60, 100}});
    // Bends on two channels, a reset of all controllers, soft notes.
    for (int n = 0; n < 40; ++n) {
      midi.push_back({30000 + 500 * n, {static_cast<uint8_t>(0xE0 + n % 2), 0, static_cast<uint8_t>(n * 3)}});
    }
    midi.push_back({52000, {0xB0, 121, 0}});
    midi.push_back({54000, {0x90, 64, 20}});
    midi.push_back({56000, {0x90, 67, 1}});
    const char* controls[] = {"waveform",          "octave",     "vibrato_depth", "vibrato_rate", "vibrato_shape",
                              "vibrato_always_on", "echo_level", "echo_delay",    "emphasis",     "output_level",
                              "bend_range",        "glide_time", "velocity"};
    const float moved[] = {2, 3, 80, 15, 1, 1, 60, 150, 1, -10, 12, 300, 1};
    constexpr size_t kMoved = std::size(moved);
    std::stable_sort(midi.begin(), midi.end(),
                     [](const TimedMidi& a, const TimedMidi& b) { return a.Frame < b.Frame; });
    std::vector<float> left(voice.size()), right(voice.size());
    const uint32_t sizes[] = {1, 64, 333, 0, 4096, 17, 256};
    // Warm up the host's own URID map for the event types.
    host.Urid(LV2_ATOM__Sequence);
    host.Urid(LV2_MIDI__MidiEvent);
    Counted counted;
    size_t at = 0;
    for (size_t n = 0; at < voice.size(); ++n) {
      // Every fifth run moves the next control, each of them at both rates.
      if (n % 5 == 4) host.Control(controls[(n / 5) % kMoved]) = moved[(n / 5) % kMoved];
      const auto frames = static_cast<uint32_t>(std::min<size_t>(sizes[n % 7], voice.size() - at));
      // Only the plugin is counted, not the host's filling of the sequence.
      CountedRun(host, counted, voice.data() + at, left.data() + at, right.data() + at, frames,
                 static_cast<int64_t>(at), midi);
      at += frames;
    }
    EXPECT_EQ(counted.Allocations, 0);
    EXPECT_EQ(counted.Locks, 0);
    float peak = 0;
    for (float s : left) peak = std::max(peak, std::fabs(s));
    EXPECT_GT(peak, 0.05f);  // the scenario really sang
  }
}

TEST(PluginRun, AllocatesAndLocksNothingInPhraseMode) {
  const std::vector<int16_t> speech = test::ReadSpeech();
  for (double rate : {48000.0, 22050.0}) {
    SCOPED_TRACE(testing::Message() << rate << " Hz");
    std::vector<float> voice(static_cast<size_t>(rate * 12));
    for (size_t i = 0; i < voice.size(); ++i) {
      voice[i] = speech[(i * 22050 / static_cast<size_t>(rate)) % speech.size()] / 32768.0f;
    }
    std::vector<TimedMidi> midi;
    for (int n = 0; n < 40; ++n) {
      midi.push_back({static_cast<int64_t>(rate * 0.3 * n), {0x90, static_cast<uint8_t>(48 + n % 24), 100}});
    }
    std::vector<float> left(voice.size()), right(voice.size());
    test::TempDir session;
    test::PluginHost host(rate);
    host.Urid(LV2_ATOM__Sequence);
    host.Urid(LV2_MIDI__MidiEvent);
    host.Control("phrase") = 1;
    Counted counted;
    bool captured = false;
    const auto at4s = static_cast<size_t>(rate * 4), at8s = static_cast<size_t>(rate * 8);
    for (size_t at = 0; at < voice.size(); at += 256) {
      const auto frames = static_cast<uint32_t>(std::min<size_t>(256, voice.size() - at));
      // A capture, then a WAV loaded; the state saved half-way through.
      host.Control("phrase_capture") = at == 2560 ? 1.0f : 0.0f;
      captured = captured || host.Control("phrase_status") == 3;
      if (at <= at4s && at4s < at + 256) host.SetPhraseFile(SORVANE_SPEECH_WAV);
      if (at <= at8s && at8s < at + 256) host.SaveState(session.Path.string());
      CountedRun(host, counted, voice.data() + at, left.data() + at, right.data() + at, frames,
                 static_cast<int64_t>(at), midi);
    }
    EXPECT_TRUE(captured);
    // The saved phrase restored into a new instance, which replays it.
    test::PluginHost restored(rate);
    restored.Urid(LV2_ATOM__Sequence);
    restored.Urid(LV2_MIDI__MidiEvent);
    restored.RestoreState(session.Path.string());
    for (size_t at = 0; at < at4s; at += 256) {
      CountedRun(restored, counted, voice.data() + at, left.data() + at, right.data() + at, 256,
                 static_cast<int64_t>(at), midi);
    }
    EXPECT_EQ(counted.Allocations, 0);
    EXPECT_EQ(counted.Locks, 0);
    EXPECT_EQ(host.Logged() + restored.Logged(), "");
    float peak = 0;
    for (size_t i = 0; i < at4s; ++i) peak = std::max(peak, std::fabs(left[i]));
    EXPECT_GT(peak, 0.05f);  // the restored phrase sang
  }
}

}  // namespace
}  // namespace sorvane
