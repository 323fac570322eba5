// SPDX-License-Identifier: GPL-3.0-or-later
// The JACK MIDI input attached to a client the test owns, as the sound
// devices will own theirs, on a private JACK server: a physical source
// there at start and one registered later are each connected by the input
// itself, a connection the user broke is not made again when another port
// appears, non-physical sources are left alone, and of what a source sends
// only notes and controllers reach the event queue, in order; a source
// whose connection goes (broken by the user, or unplugged) is followed by
// the release of everything MIDI holds. And what lets go of notes still
// finds a place in the queue when a flood of other MIDI has filled MIDI's
// share.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "audio/EventQueue.h"
#include "midi/JackMidiIn.h"
#include "midi/MidiPort.h"
#include "tests/support/JackServer.h"
#include "tests/support/Wait.h"

namespace sorvane {
namespace {

namespace fs = std::filesystem;

bool WaitFor(const std::function<bool()>& done, int seconds = 20) { return test::WaitFor(done, seconds, 10); }

// A client with MIDI output ports that stay silent until Send() is asked
// for; the message then goes out on Ports[sender] in one cycle.
struct Sources {
  static constexpr int kMaxPorts = 4;
  jack_client_t* Client = nullptr;
  std::array<std::atomic<jack_port_t*>, kMaxPorts> Ports{};
  std::atomic<int> Count{0};
  std::atomic<bool> SendPending{false};
  int Sender = -1;
  std::vector<std::vector<uint8_t>> Messages;

  static int Process(jack_nframes_t frames, void* self) {
    auto* s = static_cast<Sources*>(self);
    for (int i = 0; i < s->Count.load(); ++i) {
      void* buffer = jack_port_get_buffer(s->Ports[i].load(), frames);
      jack_midi_clear_buffer(buffer);
      if (i == s->Sender && s->SendPending.load()) {
        for (const auto& m : s->Messages) jack_midi_event_write(buffer, 0, m.data(), m.size());
        s->SendPending = false;
      }
    }
    return 0;
  }

  jack_port_t* Add(const char* name, unsigned long flags) {
    jack_port_t* port = jack_port_register(Client, name, JACK_DEFAULT_MIDI_TYPE, flags, 0);
    const int i = Count.load();
    Ports[i] = port;
    Count = i + 1;
    return port;
  }
};

void CollectMidi(void* context, const uint8_t* bytes, size_t length) {
  static_cast<std::vector<std::vector<uint8_t>>*>(context)->emplace_back(bytes, bytes + length);
}

// Every channel's sustain pedal up and all its notes off.
std::vector<std::vector<uint8_t>> LetGoOfEverything() {
  std::vector<std::vector<uint8_t>> messages;
  for (uint8_t channel = 0; channel < 16; ++channel) {
    messages.push_back({static_cast<uint8_t>(0xB0 | channel), 64, 0});
    messages.push_back({static_cast<uint8_t>(0xB0 | channel), 123, 0});
    messages.push_back({static_cast<uint8_t>(0xE0 | channel), 0, 64});
  }
  return messages;
}

int HostProcess(jack_nframes_t frames, void* in) {
  static_cast<JackMidiIn*>(in)->Process(frames);
  return 0;
}

TEST(JackMidiIn, ConnectsEachPhysicalSourceOnceAndPassesOnlyNotesAndControllers) {
  const fs::path work = fs::path(SORVANE_MIDI_TEST_DIR) / ("jack-" + std::to_string(getpid()));
  fs::create_directories(work);
  test::JackServer server(work / "jackd.log");
  ASSERT_TRUE(server.Ready()) << "jackd did not start; see " << (work / "jackd.log");

  Sources sources;
  sources.Client = server.Join("sources");
  ASSERT_NE(sources.Client, nullptr);
  constexpr unsigned long kPhysical = JackPortIsOutput | JackPortIsPhysical | JackPortIsTerminal;
  jack_port_t* early = sources.Add("early", kPhysical);
  jack_port_t* software = sources.Add("software", JackPortIsOutput);
  ASSERT_NE(early, nullptr);
  ASSERT_NE(software, nullptr);
  jack_set_process_callback(sources.Client, &Sources::Process, &sources);
  ASSERT_EQ(jack_activate(sources.Client), 0);

  AudioEventQueue queue;
  std::vector<std::vector<uint8_t>> received;
  queue.SetMidiHandler(&CollectMidi, &received);
  JackMidiIn in(queue);
  jack_client_t* host = server.Join("Sorvane");
  ASSERT_NE(host, nullptr);
  std::string reason;
  ASSERT_TRUE(in.Attach(host, reason)) << reason;
  const std::string target = in.PortName();
  jack_set_process_callback(host, &HostProcess, &in);
  ASSERT_EQ(jack_activate(host), 0);
  in.Start();

  const auto receivedAtLeast = [&](size_t count) {
    return WaitFor([&] {
      queue.DispatchAll([](void*, DeviceKind, WaveHeader&) {}, nullptr);
      return received.size() >= count;
    });
  };
  EXPECT_TRUE(WaitFor([&] { return jack_port_connected_to(early, target.c_str()) != 0; }))
      << "the source present at start was not connected";
  // The user breaks that connection: what MIDI holds is let go. A port that
  // appears later must not bring it back.
  ASSERT_EQ(jack_disconnect(sources.Client, jack_port_name(early), target.c_str()), 0);
  EXPECT_TRUE(receivedAtLeast(48)) << "a broken connection let go of nothing";
  EXPECT_EQ(received, LetGoOfEverything());
  received.clear();
  jack_port_t* late = sources.Add("late", kPhysical);
  ASSERT_NE(late, nullptr);
  EXPECT_TRUE(WaitFor([&] { return jack_port_connected_to(late, target.c_str()) != 0; }))
      << "the source registered after the start was not connected";
  // The connecting thread has handled the registration by now.
  EXPECT_EQ(jack_port_connected_to(early, target.c_str()), 0) << "a connection the user broke was made again";
  EXPECT_EQ(jack_port_connected_to(software, target.c_str()), 0) << "a non-physical source was connected";

  // Clock, active sensing, aftertouch, program change and channel pressure
  // never reach the queue; pitch bend does.
  sources.Messages = {{0xF8},        {0x90, 60, 100}, {0xFE},    {0xA0, 60, 20}, {0xB0, 1, 127},
                      {0xE0, 0, 64}, {0xC0, 5},       {0xD0, 9}, {0x80, 60, 0}};
  sources.Sender = 2;
  sources.SendPending = true;
  EXPECT_TRUE(receivedAtLeast(4));
  const std::vector<std::vector<uint8_t>> want = {{0x90, 60, 100}, {0xB0, 1, 127}, {0xE0, 0, 64}, {0x80, 60, 0}};
  EXPECT_EQ(received, want);

  // A note held when its source goes away (the keyboard unplugged: its
  // client and ports go) is let go.
  received.clear();
  sources.Messages = {{0x90, 62, 100}};
  sources.SendPending = true;
  EXPECT_TRUE(receivedAtLeast(1));
  jack_client_close(sources.Client);
  EXPECT_TRUE(receivedAtLeast(49)) << "an unplugged source let go of nothing";
  auto wantUnplugged = LetGoOfEverything();
  wantUnplugged.insert(wantUnplugged.begin(), {0x90, 62, 100});
  EXPECT_EQ(received, wantUnplugged);

  jack_deactivate(host);
  in.Close();
  EXPECT_EQ(jack_port_by_name(host, target.c_str()), nullptr) << "the port stayed on the owner's client";
  jack_client_close(host);
  fs::remove_all(work);
}

// While the event thread is busy, a controller sweep and a run of notes
// fill MIDI's share of the queue; a note-off, a pedal going up and the
// all-off controllers must still get in (each lost one is a stuck note),
// and nothing else may.
TEST(ForwardMidiMessage, AFloodOfNotesAndControllersLeavesRoomForWhatLetsGo) {
  AudioEventQueue queue;
  std::vector<std::vector<uint8_t>> received;
  queue.SetMidiHandler(&CollectMidi, &received);
  for (int i = 0; i < 1000; ++i) {
    const uint8_t sweep[3] = {0xB0, 1, static_cast<uint8_t>(i & 0x7F)};
    const uint8_t note[3] = {0x90, static_cast<uint8_t>(36 + i % 48), 100};
    ForwardMidiMessage(queue, sweep, 3);
    ForwardMidiMessage(queue, note, 3);
  }
  const std::vector<std::vector<uint8_t>> letGo = {
      {0x80, 40, 64}, {0x90, 41, 0}, {0xB0, 64, 0}, {0xB0, 123, 0}, {0xB0, 120, 0}};
  const std::vector<std::vector<uint8_t>> others = {{0x90, 42, 1}, {0xB0, 64, 127}, {0xB0, 7, 0}};
  for (const auto& m : others) ForwardMidiMessage(queue, m.data(), m.size());
  for (const auto& m : letGo) ForwardMidiMessage(queue, m.data(), m.size());
  queue.DispatchAll([](void*, DeviceKind, WaveHeader&) {}, nullptr);
  ASSERT_GE(received.size(), letGo.size());
  EXPECT_EQ(std::vector<std::vector<uint8_t>>(received.end() - letGo.size(), received.end()), letGo);
  EXPECT_EQ(received.size(), AudioEventQueue::kMidiPending - AudioEventQueue::kMidiReleaseCells + letGo.size());
}

}  // namespace
}  // namespace sorvane
