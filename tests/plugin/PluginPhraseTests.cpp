// SPDX-License-Identifier: GPL-3.0-or-later
// Phrase mode in the plugin through the lilv host: a captured or loaded
// phrase saved with the session comes back in a new instance and sings as
// in the first; a phrase file that is missing or damaged at restore, or a
// WAV that cannot be loaded, is logged and leaves the instance working.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tests/plugin/PluginHost.h"
#include "tests/support/TempDir.h"

namespace sorvane {
namespace {

using test::PluginHost;
using test::TimedMidi;

constexpr double kRate = 48000;

// The speech at 48000 Hz (sample and hold is enough for a voice to capture).
std::vector<float> Voice(double seconds) {
  const std::vector<int16_t> speech = test::ReadSpeech();
  std::vector<float> voice(static_cast<size_t>(kRate * seconds));
  for (size_t i = 0; i < voice.size(); ++i) {
    voice[i] = speech[(i * 22050 / static_cast<size_t>(kRate)) % speech.size()] / 32768.0f;
  }
  return voice;
}

float Peak(const std::vector<float>& x) {
  float peak = 0;
  for (float v : x) peak = std::max(peak, std::fabs(v));
  return peak;
}

// Phrase mode on, the capture triggered, and the voice run until the
// capture has recorded its three seconds.
void CapturePhrase(PluginHost& host) {
  host.Control("phrase") = 1;
  const std::vector<float> voice = Voice(5);
  std::vector<float> left(256), right(256);
  bool recorded = false;
  for (size_t at = 0; at + 256 <= voice.size(); at += 256) {
    host.Control("phrase_capture") = at == 2560 ? 1.0f : 0.0f;
    host.RunBlock(voice.data() + at, left.data(), right.data(), 256, static_cast<int64_t>(at));
    recorded = recorded || host.Control("phrase_status") == 3;   // "Recording"
    if (recorded && host.Control("phrase_status") == 1) return;  // back to "Replaying"
  }
  FAIL() << "the capture did not end";
}

void LoadPhrase(PluginHost& host, const std::string& path) {
  host.Control("phrase") = 1;
  std::vector<float> silence(256), left(256), right(256);
  host.SetPhraseFile(path);
  host.RunBlock(silence.data(), left.data(), right.data(), 256, 0);
}

// Both instances started again, then a held note on the same voice.
std::vector<float> Sing(PluginHost& host) {
  host.Restart();
  return host.RunAll(Voice(2), {256}, {{0, {0x90, 57, 100}}, {40000, {0x90, 64, 100}}});
}

std::filesystem::path PhraseFileIn(const std::filesystem::path& dir) {
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() == ".sorvane") return entry.path();
  }
  return {};
}

TEST(PluginPhrase, ACapturedOrLoadedPhraseComesBackWithTheSavedSession) {
  for (const bool captured : {true, false}) {
    SCOPED_TRACE(captured ? "captured" : "loaded");
    PluginHost first(kRate);
    if (captured) {
      CapturePhrase(first);
    } else {
      LoadPhrase(first, SORVANE_SPEECH_WAV);
    }
    EXPECT_EQ(first.Logged(), "");
    test::TempDir session;
    first.SaveState(session.Path.string());
    ASSERT_FALSE(PhraseFileIn(session.Path).empty());

    PluginHost second(kRate);
    second.RestoreState(session.Path.string());
    EXPECT_EQ(second.Control("phrase"), 1.0f);  // the mode comes back with the controls
    const std::vector<float> song = Sing(first);
    EXPECT_EQ(Sing(second), song);
    EXPECT_GT(Peak(song), 0.05f);  // the phrase sings
    EXPECT_EQ(second.Logged(), "");
  }
}

TEST(PluginPhrase, AMissingOrDamagedPhraseFileAtRestoreIsLoggedAndTheInstanceWorksWithout) {
  PluginHost first(kRate);
  LoadPhrase(first, SORVANE_SPEECH_WAV);
  test::TempDir session;
  first.SaveState(session.Path.string());
  const std::filesystem::path file = PhraseFileIn(session.Path);
  ASSERT_FALSE(file.empty());
  const std::string whole = test::ReadFileText(file);

  const std::vector<std::pair<const char*, std::string>> damages = {
      {"missing", ""},
      {"cut short", whole.substr(0, whole.size() / 2)},
      {"not a phrase", "RIFF....WAVEfmt "},
      {"changed", whole.substr(0, whole.size() - 9) + "123456789"}};
  for (const auto& [damage, text] : damages) {
    SCOPED_TRACE(damage);
    std::filesystem::remove(file);
    if (!text.empty()) std::ofstream(file, std::ios::binary) << text;
    PluginHost restored(kRate);
    restored.RestoreState(session.Path.string());
    EXPECT_NE(restored.Logged().find("could not be read"), std::string::npos) << restored.Logged();
    // No phrase: phrase mode replays silence, and the live voice still sings.
    EXPECT_EQ(Peak(Sing(restored)), 0.0f);
    restored.Control("phrase") = 0;
    EXPECT_GT(Peak(Sing(restored)), 0.05f);
  }
}

TEST(PluginPhrase, AWavThatCannotBeLoadedIsLoggedAndThePhraseStays) {
  test::TempDir dir;
  std::ofstream(dir / "text.wav") << "not a sound";
  PluginHost kept(kRate);
  LoadPhrase(kept, SORVANE_SPEECH_WAV);
  PluginHost tried(kRate);
  LoadPhrase(tried, SORVANE_SPEECH_WAV);
  for (const std::string path : {dir / "missing.wav", dir / "text.wav"}) {
    LoadPhrase(tried, path);
    EXPECT_NE(tried.Logged().find(path + " was not loaded"), std::string::npos) << tried.Logged();
  }
  EXPECT_EQ(Sing(tried), Sing(kept));
}

}  // namespace
}  // namespace sorvane
