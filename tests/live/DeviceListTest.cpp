// SPDX-License-Identifier: GPL-3.0-or-later
// The devices the private server offers, as listed for the user, and the
// devices the user names: the null sinks vocoder_in and vocoder_out, the
// default sink vocoder_out and the default source vocoder_in.monitor.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>

#include "audio/EventQueue.h"
#include "devices/SoundSystem.h"
#include "tests/live/LiveSupport.h"

namespace sorvane {
namespace {

// Whether `line` is a whole line of text.
bool HasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(DeviceList, ListsTheServersSinksAndSourcesWithTheDefaultsMarked) {
  const std::vector<SoundServerDevices> servers = ListSoundDevices();
  ASSERT_FALSE(servers.empty());
  const SoundServerDevices& pulse = servers[0];
  EXPECT_EQ(pulse.System.rfind("PulseAudio", 0), 0u) << pulse.System;
  ASSERT_TRUE(pulse.Reachable) << pulse.Problem;
  const std::string text = FormatSoundDevices(servers);
  EXPECT_TRUE(HasLine(text, "* vocoder_out")) << text;
  EXPECT_TRUE(HasLine(text, "  vocoder_in")) << text;
  const size_t source = text.find("\n* vocoder_in.monitor  (");
  EXPECT_NE(source, std::string::npos) << text;
  // Sources under the inputs, sinks under the outputs, one default each.
  EXPECT_LT(text.find("\n inputs:\n"), source) << text;
  EXPECT_LT(source, text.find("\n outputs:\n")) << text;
  EXPECT_LT(text.find("\n outputs:\n"), text.find("\n* vocoder_out\n")) << text;
  for (const auto* devices : {&pulse.Inputs, &pulse.Outputs}) {
    EXPECT_EQ(std::count_if(devices->begin(), devices->end(), [](const SoundDeviceInfo& d) { return d.IsDefault; }), 1);
  }
}

// Plays on the sink named, not on the default; a sink that does not exist
// is refused with the server's reason in one line.
TEST(DeviceList, OpensTheNamedSinkAndRefusesAMissingOneInOneLine) {
  AudioEventQueue events;
  SoundOptions options;
  options.System = SoundChoice::Pulse;
  options.OutputDevice = "vocoder_in";
  const std::unique_ptr<SoundSystem> sound = MakeSoundSystem(events, options);
  ASSERT_TRUE(sound->Playback().Open(WaveFormat{}));
  const std::string dir = live::TestDir();
  const live::RunResult sinks = live::Run({"pactl", "list", "short", "sinks"}, dir, 10000);
  const live::RunResult inputs = live::Run({"pactl", "list", "short", "sink-inputs"}, dir, 10000);
  EXPECT_TRUE(sound->Playback().Close());
  // "index<TAB>name<TAB>..." and "index<TAB>sink index<TAB>...".
  std::string sinkIndex;
  std::istringstream sinkLines(sinks.Out);
  for (std::string line; std::getline(sinkLines, line);) {
    if (line.find("\tvocoder_in\t") != std::string::npos) sinkIndex = line.substr(0, line.find('\t'));
  }
  ASSERT_FALSE(sinkIndex.empty()) << sinks.Out;
  EXPECT_NE(inputs.Out.find("\t" + sinkIndex + "\t"), std::string::npos) << inputs.Out << sinks.Out;

  const live::RunResult info = live::Run({"pactl", "info"}, dir, 10000);
  if (info.Out.find("on PipeWire") != std::string::npos) {
    GTEST_SKIP() << "PipeWire's PulseAudio server plays a missing sink's stream on the default sink";
  }
  options.OutputDevice = "sorvane_no_such_sink";
  const std::unique_ptr<SoundSystem> missing = MakeSoundSystem(events, options);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(missing->Playback().Open(WaveFormat{}));
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find(": cannot open the playback device \"sorvane_no_such_sink\" at 22050 Hz, mono, 16-bit: "
                      "PulseAudio: No such entity\n"),
            std::string::npos)
      << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
}

}  // namespace
}  // namespace sorvane
