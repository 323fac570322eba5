// SPDX-License-Identifier: GPL-3.0-or-later
// The LV2 plugin through a lilv host: sample for sample the engine's own
// block pipeline at 22050 Hz, with and without bends, velocities and
// glide; the same pitch and loudness at other rates and block sizes; a
// reported latency that is the song's real delay.
#include <gtest/gtest.h>
#include <samplerate.h>

#include <algorithm>
#include <memory>

#include "devices/VirtualDevices.h"
#include "engine/Engine.h"
#include "keyboard/MidiNotes.h"
#include "tests/plugin/PluginHost.h"
#include "tools/render/MidiFile.h"

namespace sorvane {
namespace {

using test::PluginHost;
using test::TimedMidi;

constexpr uint8_t kA3 = 57;  // 220 Hz in the "Mid" range

std::vector<float> ToFloats(const std::vector<int16_t>& samples) {
  std::vector<float> out(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) out[i] = static_cast<float>(samples[i]) * (1.0f / 32768.0f);
  return out;
}

std::vector<float> Resample(const std::vector<float>& x, double ratio) {
  std::vector<float> out(static_cast<size_t>(static_cast<double>(x.size()) * ratio) + 16);
  SRC_DATA data{};
  data.data_in = x.data();
  data.input_frames = static_cast<long>(x.size());
  data.data_out = out.data();
  data.output_frames = static_cast<long>(out.size());
  data.src_ratio = ratio;
  EXPECT_EQ(src_simple(&data, SRC_SINC_BEST_QUALITY, 1), 0);
  out.resize(static_cast<size_t>(data.output_frames_gen));
  return out;
}

// At 22050 Hz, the first block whose last sample comes at or after frame
// (the block the frame falls in): the first that an event at frame reaches.
int64_t BlockOfFrame(int64_t frame) { return frame / kBlockSamples; }

// A control port moved before a run (for the plugin) or before a capture
// block (for the engine).
struct ControlMove {
  int64_t Block;
  const char* Symbol;
  int32_t Value;
};

// The engine's own pipeline, as the renderer drives it: the voice on the
// virtual capture device, the capture handler for each block, MIDI through
// the renderer's player before the block its frame falls in, and every
// block kept at 220 samples (the rate control held in its warm-up).
std::vector<int16_t> EngineSong(const std::vector<int16_t>& voice, int32_t blocks, const std::vector<TimedMidi>& midi,
                                const std::vector<ControlMove>& moves = {}) {
  auto engine = std::make_unique<EngineState>();
  auto rig = std::make_unique<VirtualAudioRig>();
  CreateEngine(*engine, nullptr);
  engine->CaptureDevice = &rig->Capture();
  engine->PlaybackDevice = &rig->Playback();
  rig->SetInput(voice.data(), static_cast<int64_t>(voice.size()));
  MidiSong song;
  for (const TimedMidi& m : midi) song.Events.push_back({BlockOfFrame(m.Frame), 0, m.Bytes, 3});
  struct Client : VirtualLoopClient {
    EngineState& E;
    MidiPlayer Player;
    const std::vector<ControlMove>& Moves;
    int Irregular = 0;
    Client(EngineState& e, const MidiSong& s, const std::vector<ControlMove>& m)
        : E(e), Player(e, s, kMidiAllChannels), Moves(m) {}
    void BeforeCapture(VirtualAudioRig&, int32_t block) override {
      E.Rate.RateState = kWarmUp;
      E.Rate.WarmUpCount = kWarmUpBlocks;
      for (const ControlMove& m : Moves) {
        if (m.Block != block) continue;
        const std::string s = m.Symbol;
        if (s == "waveform") SelectWaveform(E, m.Value);
        if (s == "octave") SetOctave(E, m.Value);
        if (s == "vibrato_always_on") SetModAlwaysOn(E, m.Value != 0);
        if (s == "vibrato_shape") SetModShape(E, m.Value == 0);
        if (s == "echo_level") SetEchoLevel(E, m.Value);
        if (s == "echo_delay") SetEchoDelayMs(E, m.Value);
        if (s == "emphasis") SetEmphasis(E, m.Value != 0);
        if (s == "output_level") SetOutputLevel(E, m.Value);
        if (s == "bend_range") SetBendRange(E, m.Value);
        if (s == "glide_time") SetGlideMs(E, m.Value);
        if (s == "velocity") SetVelocityOn(E, m.Value != 0);
        if (s == "phrase") SetPhraseOn(E, m.Value != 0);
        if (s == "phrase_capture") EngineStartPhraseCapture(E);
        if (s == "phrase_file") {
          PhraseLoadBegin(E);
          EXPECT_TRUE(PhraseLoadFile(E, SORVANE_SPEECH_WAV));
        }
      }
      Player.Play(block);
    }
    void AfterCapture(VirtualAudioRig&, int32_t, int64_t) override {
      Irregular += E.LastCapture.Dropped || E.LastCapture.BlockLength != kBlockSamples ? 1 : 0;
    }
  } client(*engine, song, moves);
  OpenAudio(*engine);
  rig->Run(EngineEvents(*engine), blocks, &client);
  EXPECT_EQ(client.Irregular, 0);
  std::vector<int16_t> played = rig->Played();
  played.resize(static_cast<size_t>(blocks) * kBlockSamples);
  return played;
}

TimedMidi Msg(int64_t frame, uint8_t a, uint8_t b, uint8_t c) { return {frame, {a, b, c}}; }

// Runs voice through host at 22050 Hz in runs of 220 frames, half a block
// out of step with the engine's blocks, so that a block ends inside every
// run: a control moved before a run starting at frame s and a MIDI event at
// frame f reach the first block ending at or after s, or f. moves are by
// run; engineMoves gets them by the engine's block. Returns the left song,
// checking that the right one is the same.
std::vector<float> RunOutOfStep(PluginHost& host, const std::vector<float>& voice, const std::vector<TimedMidi>& midi,
                                const std::vector<ControlMove>& moves, std::vector<ControlMove>& engineMoves) {
  std::vector<float> left(voice.size()), right(voice.size());
  for (size_t at = 0, run = 0; at < voice.size(); ++run) {
    for (const ControlMove& m : moves) {
      if (m.Block != static_cast<int64_t>(run)) continue;
      host.Control(m.Symbol) = static_cast<float>(m.Value);
      engineMoves.push_back({BlockOfFrame(static_cast<int64_t>(at)), m.Symbol, m.Value});
    }
    const auto frames = static_cast<uint32_t>(std::min<size_t>(run == 0 ? 110 : kBlockSamples, voice.size() - at));
    host.RunBlock(voice.data() + at, left.data() + at, right.data() + at, frames, static_cast<int64_t>(at), midi);
    at += frames;
  }
  EXPECT_EQ(left, right);
  return left;
}

TEST(Plugin, At22050InBlocksOf220ItIsTheEnginesPipelineSampleForSample) {
  const std::vector<int16_t> speech = test::ReadSpeech();
  ASSERT_GT(speech.size(), 80000u);
  // Notes, a chord, the wheel, the pedal holding a released note, all notes
  // off, and notes struck after the octave moved: at frames inside blocks.
  const std::vector<TimedMidi> midi = {
      Msg(0, 0x90, kA3, 100),    Msg(3000, 0xB0, 1, 127),  Msg(5001, 0x90, 64, 90), Msg(5001, 0x90, 69, 90),
      Msg(9003, 0xB0, 64, 127),  Msg(9500, 0x80, 64, 0),   Msg(14219, 0xB0, 64, 0), Msg(20000, 0xB0, 123, 0),
      Msg(22000, 0x91, 60, 80),  Msg(40100, 0x90, 62, 80), Msg(41000, 0x80, 60, 0), Msg(60000, 0x90, 72, 100),
      Msg(75007, 0x90, 55, 100),
  };
  const std::vector<ControlMove> moves = {
      {60, "vibrato_always_on", 1}, {120, "waveform", 1},      {150, "octave", 1},   {200, "echo_level", 50},
      {201, "echo_delay", 80},      {250, "output_level", -6}, {300, "emphasis", 1}, {300, "vibrato_shape", 1},
      {330, "waveform", 2},         {340, "octave", 3},
  };

  PluginHost host(22050);
  const std::vector<float> voice = ToFloats(speech);
  std::vector<ControlMove> engineMoves;
  const std::vector<float> left = RunOutOfStep(host, voice, midi, moves, engineMoves);
  EXPECT_EQ(host.Latency(), 219.0f);

  const auto blocks = static_cast<int32_t>(voice.size() / kBlockSamples);
  const std::vector<int16_t> song = EngineSong(speech, blocks, midi, engineMoves);
  size_t differing = 0, first = 0, loud = 0;
  for (size_t t = 0; t < voice.size(); ++t) {
    const double expected = t < 219 ? 0.0 : (t - 219 < song.size() ? song[t - 219] : -1e9);
    if (expected == -1e9) break;
    loud += std::fabs(expected) > 3000 ? 1 : 0;
    if (static_cast<double>(left[t]) * 32768.0 != expected && differing++ == 0) first = t;
  }
  EXPECT_EQ(differing, 0u) << "first at frame " << first;
  EXPECT_GT(loud, 10000u);  // the song really sounds
}

// Compares the plugin's song at 22050 Hz with the engine's, which comes
// out 219 frames earlier; returns the number of frames the engine's song
// is loud in.
size_t ExpectEngineSong(const std::vector<float>& left, const std::vector<int16_t>& song) {
  size_t differing = 0, first = 0, loud = 0;
  for (size_t t = 219; t < left.size() && t - 219 < song.size(); ++t) {
    const double expected = song[t - 219];
    loud += std::fabs(expected) > 3000 ? 1 : 0;
    if (static_cast<double>(left[t]) * 32768.0 != expected && differing++ == 0) first = t;
  }
  EXPECT_EQ(differing, 0u) << "first at frame " << first;
  return loud;
}

TEST(Plugin, At22050BendsVelocitiesAndGlideAreTheEnginesSampleForSample) {
  // Notes struck at uneven velocities, bends on two channels inside blocks,
  // a reset of all controllers, and the three expression controls moved
  // while notes glide and bend.
  const std::vector<int16_t> speech = test::ReadSpeech();
  const std::vector<TimedMidi> midi = {
      Msg(0, 0x90, kA3, 127),    Msg(2000, 0xE0, 0, 96),   Msg(4000, 0x90, 64, 30),   Msg(4000, 0x90, 60, 90),
      Msg(8000, 0xE0, 127, 127), Msg(10000, 0x80, kA3, 0), Msg(12001, 0xE3, 0, 0),    Msg(16000, 0xB0, 121, 0),
      Msg(24000, 0x90, 69, 64),  Msg(30011, 0xE0, 0, 32),  Msg(45000, 0x90, 62, 100), Msg(52000, 0xE0, 100, 80),
      Msg(60000, 0x90, 55, 20),  Msg(70000, 0x90, 67, 10), Msg(72000, 0xE0, 0, 64),
  };
  const std::vector<ControlMove> moves = {
      {0, "velocity", 1},        {0, "glide_time", 150}, {0, "bend_range", 7}, {180, "bend_range", 12},
      {250, "glide_time", 1000}, {290, "glide_time", 0}, {300, "velocity", 0},
  };
  PluginHost host(22050);
  const std::vector<float> voice = ToFloats(speech);
  std::vector<ControlMove> engineMoves;
  const std::vector<float> left = RunOutOfStep(host, voice, midi, moves, engineMoves);
  const auto blocks = static_cast<int32_t>(voice.size() / kBlockSamples);
  EXPECT_GT(ExpectEngineSong(left, EngineSong(speech, blocks, midi, engineMoves)), 10000u);
}

TEST(Plugin, At22050InBlocksOf220PhraseModeIsTheEnginesSampleForSample) {
  // Phrase mode on, a phrase captured from the speech, keys replaying it
  // with an echo that dies away between them, then a phrase WAV loaded and
  // replayed, and phrase mode off again.
  const std::vector<int16_t> speech = test::ReadSpeech();
  std::vector<int16_t> voice16 = speech;
  voice16.insert(voice16.end(), speech.begin(), speech.end());
  const std::vector<TimedMidi> midi = {
      Msg(82000, 0x90, kA3, 100), Msg(86000, 0x90, 64, 90), Msg(95003, 0x80, kA3, 0),   Msg(96000, 0x80, 64, 0),
      Msg(134000, 0x90, 60, 100), Msg(140000, 0x80, 60, 0), Msg(150000, 0x90, 62, 100),
  };
  const std::vector<ControlMove> moves = {
      {2, "phrase", 1},        {10, "phrase_capture", 1}, {360, "echo_level", 10},
      {361, "echo_delay", 60}, {500, "phrase_file", 1},   {670, "phrase", 0},
  };
  PluginHost host(22050);
  const std::vector<float> voice = ToFloats(voice16);
  std::vector<float> left(voice.size()), right(voice.size());
  std::vector<ControlMove> engineMoves;
  for (size_t at = 0, run = 0; at < voice.size(); ++run) {
    const auto frames = static_cast<uint32_t>(std::min<size_t>(run == 0 ? 110 : kBlockSamples, voice.size() - at));
    host.Control("phrase_capture") = 0;
    for (const ControlMove& m : moves) {
      if (m.Block != static_cast<int64_t>(run)) continue;
      if (std::string(m.Symbol) == "phrase_file") {
        // The worker's phrase is in place from the next run on.
        host.SetPhraseFile(SORVANE_SPEECH_WAV);
        engineMoves.push_back({BlockOfFrame(static_cast<int64_t>(at + frames)), m.Symbol, m.Value});
        continue;
      }
      host.Control(m.Symbol) = static_cast<float>(m.Value);
      engineMoves.push_back({BlockOfFrame(static_cast<int64_t>(at)), m.Symbol, m.Value});
    }
    host.RunBlock(voice.data() + at, left.data() + at, right.data() + at, frames, static_cast<int64_t>(at), midi);
    at += frames;
  }
  EXPECT_EQ(host.Logged(), "");
  const auto blocks = static_cast<int32_t>(voice.size() / kBlockSamples);
  EXPECT_GT(ExpectEngineSong(left, EngineSong(voice16, blocks, midi, engineMoves)), 10000u);
}

// The speech at the host's rate, A3 held from the first frame.
struct HostRun {
  std::vector<float> Song;
  float Latency;
};
HostRun RunAtRate(double rate, const std::vector<float>& voice22050, const std::vector<uint32_t>& sizes) {
  const std::vector<float> voice = rate == 22050 ? voice22050 : Resample(voice22050, rate / 22050.0);
  PluginHost host(rate);
  HostRun run;
  run.Song = host.RunAll(voice, sizes, {Msg(0, 0x90, kA3, 100)});
  run.Latency = host.Latency();
  return run;
}

TEST(Plugin, AtOtherRatesAndAnyBlockSizesThePitchAndLoudnessAreThoseAt22050) {
  const std::vector<float> voice = ToFloats(test::ReadSpeech());
  const HostRun base = RunAtRate(22050, voice, {220});
  // From 0.5 s to 3.5 s of the voice, in 50-ms stretches.
  const double start = 0.5, length = 3.0, window = 0.05;
  const auto windows = static_cast<size_t>(length / window);
  const double basePitch = test::MeasurePitch(base.Song, 219 + 11025, 22050 * 3, 22050, 220);
  EXPECT_LT(std::fabs(test::Cents(basePitch, 220)), 1.0) << basePitch;
  const std::vector<double> baseLevels = test::Envelope(base.Song, 22050, 219 + 11025, window, windows);

  struct Case {
    double Rate;
    std::vector<uint32_t> Sizes;
  };
  const std::vector<uint32_t> varying{1, 0, 17, 256, 4096, 99, 2, 333, 1024, 64, 5};
  const std::vector<Case> cases{{48000, {1}},     {48000, {64}},    {48000, {333}},   {48000, varying},
                                {44100, varying}, {88200, varying}, {96000, varying}, {22050, varying}};
  std::vector<float> first48000;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Rate << " Hz, first block " << c.Sizes[0] << " of " << c.Sizes.size());
    const HostRun run = RunAtRate(c.Rate, voice, c.Sizes);
    const auto offset = static_cast<size_t>(run.Latency) + static_cast<size_t>(start * c.Rate);
    const double pitch = test::MeasurePitch(run.Song, offset, static_cast<size_t>(length * c.Rate), c.Rate, 220);
    EXPECT_LT(std::fabs(test::Cents(pitch, basePitch)), 1.0) << pitch << " Hz against " << basePitch;
    const std::vector<double> levels = test::Envelope(run.Song, c.Rate, offset, window, windows);
    // Over the stretches where the voice speaks: the level follows it,
    // allowing for stretches where a decision of the engine's gain (a
    // doubling or a halving, on thresholds) falls the other way.
    std::vector<double> differences;
    for (size_t n = 0; n < windows; ++n) {
      if (baseLevels[n] > -40) differences.push_back(std::fabs(levels[n] - baseLevels[n]));
    }
    ASSERT_GT(differences.size(), windows / 2);
    std::sort(differences.begin(), differences.end());
    EXPECT_LT(differences[differences.size() / 2], 0.3) << "dB, the median stretch";
    EXPECT_LT(differences[differences.size() * 9 / 10], 1.0) << "dB, the 90th percentile";
    // The block sizes change nothing at all.
    if (c.Rate == 48000) {
      if (first48000.empty()) first48000 = run.Song;
      EXPECT_TRUE(run.Song == first48000);
    }
    if (c.Rate == 22050) {
      EXPECT_TRUE(run.Song == base.Song);
    }
  }
}

// The lag, in host frames, at which `song` best matches `reference` (both
// at the host's rate) over [from, from + count), refined by a parabola.
double BestLag(const std::vector<float>& song, const std::vector<float>& reference, size_t from, size_t count,
               int maxLag) {
  std::vector<double> score(static_cast<size_t>(maxLag) + 1);
  for (int lag = 0; lag <= maxLag; ++lag) {
    double s = 0;
    for (size_t i = from; i < from + count; ++i) s += static_cast<double>(reference[i]) * song[i + lag];
    score[static_cast<size_t>(lag)] = s;
  }
  const auto k = static_cast<size_t>(std::max_element(score.begin(), score.end()) - score.begin());
  double lag = static_cast<double>(k);
  if (k > 0 && k < static_cast<size_t>(maxLag)) {
    const double a = score[k - 1], b = score[k], c = score[k + 1];
    if (a - 2 * b + c < 0) lag += 0.5 * (a - c) / (a - 2 * b + c);
  }
  return lag;
}

TEST(Plugin, TheReportedLatencyIsTheDelayOfAClick) {
  // Silence, a click at 1 s and another at 1.5 s, A3 held throughout: the
  // song's high band carries each click straight through. In runs of one
  // frame, where the song's delay line has the least in hand.
  std::vector<int16_t> clicks(22050 * 2, 0);
  clicks[22050] = 20000;
  clicks[33075] = -16000;
  const std::vector<int16_t> engine = EngineSong(clicks, 22050 * 2 / kBlockSamples, {Msg(0, 0x90, kA3, 100)});
  const std::vector<float> engineSong = ToFloats(engine);
  for (double rate : {16000.0, 22050.0, 32000.0, 44100.0, 48000.0, 88200.0, 96000.0}) {
    SCOPED_TRACE(testing::Message() << rate << " Hz");
    const HostRun run = RunAtRate(rate, ToFloats(clicks), {1u});
    const std::vector<float> reference = rate == 22050 ? engineSong : Resample(engineSong, rate / 22050.0);
    const auto from = static_cast<size_t>(0.9 * rate);
    const double lag = BestLag(run.Song, reference, from, static_cast<size_t>(0.8 * rate), 4000);
    EXPECT_NEAR(lag, run.Latency, 1.0);
    EXPECT_GT(run.Latency, 0.0f);
  }
}

TEST(Plugin, ASecondActivationStartsAfreshAndSharedBuffersChangeNothing) {
  // At 48000 Hz, so that both converters and the delay line hold state.
  const std::vector<float> voice22050 = ToFloats(test::ReadSpeech());
  const std::vector<float> voice =
      Resample(std::vector<float>(voice22050.begin(), voice22050.begin() + 44100), 48000.0 / 22050.0);
  const std::vector<TimedMidi> note = {Msg(0, 0x90, kA3, 100)};
  const std::vector<float> fresh = PluginHost(48000).RunAll(voice, {256}, note);

  // A chord and the wheel, a run cut short, then deactivated and activated
  // again: it starts as a new instance does.
  PluginHost reused(48000);
  reused.RunAll(std::vector<float>(voice.begin(), voice.begin() + 30001), {333},
                {Msg(0, 0x90, 60, 100), Msg(100, 0x90, 64, 100), Msg(200, 0xB0, 1, 127)});
  reused.Restart();
  EXPECT_EQ(reused.RunAll(voice, {256}, note), fresh);

  // One buffer for the voice and both outputs, as an in-place host gives.
  PluginHost inPlace(48000);
  std::vector<float> io = voice;
  for (size_t at = 0; at < io.size(); at += 256) {
    const auto frames = static_cast<uint32_t>(std::min<size_t>(256, io.size() - at));
    inPlace.RunBlock(io.data() + at, io.data() + at, io.data() + at, frames, static_cast<int64_t>(at), note);
  }
  EXPECT_EQ(io, fresh);
}

}  // namespace
}  // namespace sorvane
