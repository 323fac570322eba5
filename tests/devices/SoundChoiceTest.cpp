// SPDX-License-Identifier: GPL-3.0-or-later
// The choice of sound server with JACK in it, on a private JACK server and a
// PulseAudio address where nothing answers: automatic falls back to JACK
// only when a JACK server runs, MIDI In is on the sound client only when
// asked for, a chosen JACK without a server still gives devices that refuse
// to open, and the JACK counters read as a device's. The listing of the
// servers' devices, and JACK ports named by the user.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "audio/EventQueue.h"
#include "devices/JackDevices.h"
#include "devices/SoundSystem.h"
#include "tests/support/JackServer.h"

namespace sorvane {
namespace {

namespace fs = std::filesystem;

class SoundChoice : public ::testing::Test {
 protected:
  void SetUp() override {
    Work = fs::path(SORVANE_DEVICES_TEST_DIR) / ("choice-" + std::to_string(getpid()));
    fs::create_directories(Work);
    // No PulseAudio server answers here, and none is started.
    setenv("PULSE_SERVER", ("unix:" + (Work / "no-such-socket").string()).c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    unsetenv("SORVANE_SOUND");
  }
  void TearDown() override {
    unsetenv("PULSE_SERVER");
    unsetenv("JACK_DEFAULT_SERVER");
    unsetenv("SORVANE_SOUND");
    fs::remove_all(Work);
  }
  fs::path Work;
};

bool HasPort(const test::JackServer& jack, const char* name) {
  jack_client_t* observer = jack.Join("observer");
  if (observer == nullptr) return false;
  const bool found = jack_port_by_name(observer, name) != nullptr;
  jack_client_close(observer);
  return found;
}

std::vector<std::string> NamesOf(const std::vector<SoundDeviceInfo>& devices, bool defaultsOnly = false) {
  std::vector<std::string> names;
  for (const SoundDeviceInfo& device : devices) {
    if (device.IsDefault || !defaultsOnly) names.push_back(device.Name);
  }
  return names;
}

TEST_F(SoundChoice, AutomaticFallsBackToARunningJackServerWithMidiInOnlyWhenAsked) {
  test::JackServer jack(Work / "jackd.log");
  ASSERT_TRUE(jack.Ready());
  setenv("JACK_DEFAULT_SERVER", jack.Name.c_str(), 1);
  AudioEventQueue events;
  {
    const std::unique_ptr<SoundSystem> sound = MakeSoundSystem(events, true);
    EXPECT_STREQ(sound->Name(), "JACK");
    EXPECT_TRUE(sound->Reachable());
    EXPECT_TRUE(sound->HasMidiIn());
    EXPECT_TRUE(HasPort(jack, "Sorvane:Voice In"));
    EXPECT_TRUE(HasPort(jack, "Sorvane:MIDI In"));
    const WaveFormat format{};
    ASSERT_TRUE(sound->Capture().Open(format));
    EXPECT_TRUE(sound->Capture().Close());
  }
  const std::unique_ptr<SoundSystem> sound = MakeSoundSystem(events);
  EXPECT_STREQ(sound->Name(), "JACK");
  EXPECT_FALSE(sound->HasMidiIn());
  EXPECT_FALSE(HasPort(jack, "Sorvane:MIDI In"));
}

TEST_F(SoundChoice, WithNoServerAnsweringTheDevicesRefuseToOpen) {
  setenv("JACK_DEFAULT_SERVER", ("no-such-server-" + std::to_string(getpid())).c_str(), 1);
  AudioEventQueue events;
  const WaveFormat format{};
  // Automatic: the PulseAudio system, which does not open.
  const std::unique_ptr<SoundSystem> automatic = MakeSoundSystem(events, true);
  EXPECT_STREQ(automatic->Name(), "PulseAudio");
  EXPECT_FALSE(automatic->Reachable());
  EXPECT_FALSE(automatic->HasMidiIn());
  // Chosen: JACK's devices, which say why they do not open.
  setenv("SORVANE_SOUND", "jack", 1);
  const std::unique_ptr<SoundSystem> chosen = MakeSoundSystem(events);
  EXPECT_STREQ(chosen->Name(), "JACK");
  EXPECT_FALSE(chosen->Reachable());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(chosen->Playback().Open(format));
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("cannot open a playback device at 22050 Hz, mono, 16-bit: JACK: no JACK server is running\n"),
            std::string::npos)
      << said;

  // The listing says so for both, promptly and without libjack's own lines.
  testing::internal::CaptureStderr();
  const auto start = std::chrono::steady_clock::now();
  const std::vector<SoundServerDevices> servers = ListSoundDevices();
  // The listing waits at most 2 s for a server; twice that for a loaded
  // machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(FormatSoundDevices(servers), "PulseAudio: not reachable: " + servers[0].Problem +
                                             "\n\nJACK: not reachable: no JACK server is running\n");
  EXPECT_FALSE(servers[0].Problem.empty());
}

// The listing finds the server's physical ports and no PulseAudio; the
// ports named in the options are the ones connected, on JACK even when
// SORVANE_SOUND says pulse, and a name that is no port costs one line.
TEST_F(SoundChoice, JackListingAndNamedPortsOnARunningServer) {
  test::JackServer jack(Work / "jackd.log");
  ASSERT_TRUE(jack.Ready());
  setenv("JACK_DEFAULT_SERVER", jack.Name.c_str(), 1);
  using Names = std::vector<std::string>;

  const std::vector<SoundServerDevices> servers = ListSoundDevices();
  ASSERT_EQ(servers.size(), 2u);
  EXPECT_EQ(servers[0].System, "PulseAudio");
  EXPECT_FALSE(servers[0].Reachable);
  EXPECT_EQ(servers[1].System, "JACK");
  ASSERT_TRUE(servers[1].Reachable) << servers[1].Problem;
  EXPECT_EQ(NamesOf(servers[1].Inputs), (Names{"system:capture_1", "system:capture_2"}));
  EXPECT_EQ(NamesOf(servers[1].Outputs), (Names{"system:playback_1", "system:playback_2"}));
  EXPECT_EQ(NamesOf(servers[1].Inputs, true), Names{"system:capture_1"});
  EXPECT_EQ(NamesOf(servers[1].Outputs, true), Names{"system:playback_1"});
  const std::string text = FormatSoundDevices(servers);
  EXPECT_NE(text.find("\nJACK:\n inputs:\n* system:capture_1"), std::string::npos) << text;
  EXPECT_NE(text.find("\n  system:playback_2"), std::string::npos) << text;

  setenv("SORVANE_SOUND", "pulse", 1);
  SoundOptions options;
  options.System = sorvane::SoundChoice::Jack;
  options.InputDevice = "nobody:voice";
  options.OutputDevice = "system:playback_2";
  AudioEventQueue events;
  const std::unique_ptr<SoundSystem> sound = MakeSoundSystem(events, options);
  EXPECT_STREQ(sound->Name(), "JACK");
  testing::internal::CaptureStderr();
  ASSERT_TRUE(sound->Capture().Open(WaveFormat{}));
  ASSERT_TRUE(sound->Playback().Open(WaveFormat{}));
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("\"nobody:voice\""), std::string::npos) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_EQ(jack.ConnectionsOf("Sorvane:Voice In"), Names{"system:capture_1"});
  EXPECT_EQ(jack.ConnectionsOf("Sorvane:Song Out L"), Names{"system:playback_2"});
  // playback_2 is the client's last port: R stays unconnected.
  EXPECT_EQ(jack.ConnectionsOf("Sorvane:Song Out R"), Names{});
  EXPECT_TRUE(sound->Capture().Close());
  EXPECT_TRUE(sound->Playback().Close());
}

TEST(JackDeviceCounters, LatencyInMicrosecondsPerCycleAndXrunsOnBothSides) {
  JackCounters jack{};
  jack.SampleRate = 48000;
  jack.Period = 256;
  jack.Cycles = 10;
  jack.Xruns = 3;
  jack.CaptureLatency = 256;
  jack.PlaybackLatency = 512;
  jack.CaptureIdleFrames = 7;
  jack.PlaybackBuffersDone = 5;
  const DeviceCounters in = JackDeviceCounters(jack, DeviceKind::Capture, 4);
  const DeviceCounters out = JackDeviceCounters(jack, DeviceKind::Playback, 9);
  EXPECT_EQ(in.Callbacks, 10u);
  EXPECT_EQ(in.Frames, 2560u);
  EXPECT_EQ(in.DeviceLatencyMicros, 10u * 5333);
  EXPECT_EQ(out.DeviceLatencyMicros, 10u * 10666);
  EXPECT_EQ(in.Overflows, 3u);
  EXPECT_EQ(in.Underflows, 0u);
  EXPECT_EQ(out.Underflows, 3u);
  EXPECT_EQ(out.Overflows, 0u);
  EXPECT_EQ(in.IdleFrames, 7u);
  EXPECT_EQ(out.BuffersDone, 5u);
  EXPECT_EQ(in.Queued, 4u);
  EXPECT_EQ(out.Queued, 9u);
  jack.SampleRate = 0;  // no client open
  EXPECT_EQ(JackDeviceCounters(jack, DeviceKind::Playback, 0).DeviceLatencyMicros, 0u);
}

}  // namespace
}  // namespace sorvane
