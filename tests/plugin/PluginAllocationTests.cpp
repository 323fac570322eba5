// SPDX-License-Identifier: GPL-3.0-or-later
// Counts the heap allocations made while the plugin's run() works: notes,
// the pedal, the wheel, every control moved, blocks of every size. There
// must be none. This binary's operator new and malloc are exported, so the
// plugin's calls reach them too.
#include <gtest/gtest.h>

#include "tests/plugin/PluginHost.h"
#include "tests/support/AllocationCount.h"

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

namespace sorvane {
namespace {

using test::TimedMidi;

TEST(PluginRun, AllocatesNothing) {
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
    midi.push_back({60000, {0xB0, 123, 0}});   // all notes off
    midi.push_back({62000, {0x90, 60, 100}});
    const char* controls[] = {"waveform", "octave", "vibrato_depth", "vibrato_rate", "vibrato_shape",
                              "vibrato_always_on", "echo_level", "echo_delay", "emphasis", "output_level"};
    const float moved[] = {2, 3, 80, 15, 1, 1, 60, 150, 1, -10};
    std::vector<float> left(voice.size()), right(voice.size());
    const uint32_t sizes[] = {1, 64, 333, 0, 4096, 17, 256};
    // Warm up the host's own URID map for the event types.
    host.Urid(LV2_ATOM__Sequence);
    host.Urid(LV2_MIDI__MidiEvent);
    long allocations = 0;
    size_t at = 0;
    for (size_t n = 0; at < voice.size(); ++n) {
      if (n % 40 == 39) host.Control(controls[(n / 40) % 10]) = moved[(n / 40) % 10];
      const auto frames = static_cast<uint32_t>(std::min<size_t>(sizes[n % 7], voice.size() - at));
      // Only the plugin's run() is counted, not the host's filling of the sequence.
      host.Prepare(voice.data() + at, left.data() + at, right.data() + at, frames, static_cast<int64_t>(at), midi);
      test::StartCountingAllocations();
      lilv_instance_run(host.Raw(), frames);
      allocations += test::StopCountingAllocations();
      at += frames;
    }
    EXPECT_EQ(allocations, 0);
    float peak = 0;
    for (float s : left) peak = std::max(peak, std::fabs(s));
    EXPECT_GT(peak, 0.05f);  // the scenario really sang
  }
}

}  // namespace
}  // namespace sorvane
