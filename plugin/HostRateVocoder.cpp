// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's block pipeline between two libsamplerate converters, and the
// delay line that gives the song a constant delay.
#include "plugin/HostRateVocoder.h"

#include <algorithm>
#include <cmath>

#include "audio/RateConverter.h"
#include "dsp/Lpc.h"
#include "engine/LiveBlock.h"
#include "engine/SilentBlocks.h"

namespace sorvane {
namespace {

// The voice's converter keeps the band the analysis hears (its high band
// and gain decisions reach up to 11 kHz) as the medium sinc does; the song's
// converter is the fastest sinc, which costs much less (docs/latency.md)
// and passes the song flat to 80 % of 11025 Hz.
constexpr int kCaptureConverterType = SRC_SINC_MEDIUM_QUALITY;
constexpr int kPlaybackConverterType = SRC_SINC_FASTEST;

}  // namespace

HostRateVocoder::HostRateVocoder(double hostRate) : State(std::make_unique<EngineState>()) {
  Phrase = &State->Store;
  HostRate = hostRate;
  // The analysis window is built on first use; here, not in the first run
  // on the host's audio thread.
  HannWindow();
  if (!(hostRate > 0.0)) return;
  Convert = hostRate != static_cast<double>(kSampleRate);
  CaptureRatio = static_cast<double>(kSampleRate) / hostRate;
  PlaybackRatio = hostRate / static_cast<double>(kSampleRate);
  if (Convert) {
    if (src_is_valid_ratio(CaptureRatio) == 0 || src_is_valid_ratio(PlaybackRatio) == 0) return;
    int error = 0;
    uint32_t captureReach = 0;
    uint32_t playbackReach = 0;
    CaptureConverter = MakeConverter(kCaptureConverterType, CaptureRatio, captureReach, error);
    PlaybackConverter = MakeConverter(kPlaybackConverterType, PlaybackRatio, playbackReach, error);
    if (CaptureConverter == nullptr || PlaybackConverter == nullptr) return;
    // What each converter holds past the frame an output sample stands on.
    const long captureAhead = static_cast<long>(captureReach) - 1;    // host frames
    const long playbackAhead = static_cast<long>(playbackReach) - 1;  // 22050-Hz samples
    if (captureAhead < 0 || playbackAhead < 0) return;
    // A host frame's song is due as soon as that frame's voice is in. The
    // last sample of a block is gathered captureAhead host frames after its
    // voice, and the playback converter holds playbackAhead of the block's
    // samples back; a song sample may also wait for the rest of its block
    // (219 samples). Two frames more cover the converters' rounding of
    // positions to whole frames.
    Latency = static_cast<int32_t>(std::ceil(static_cast<double>(captureAhead) +
                                             static_cast<double>(kBlockSamples - 1 + playbackAhead) * PlaybackRatio)) +
              2;
    ConvertedVoice.assign(static_cast<size_t>(std::ceil(kChunkFrames * CaptureRatio)) + 64, 0.0f);
    ConvertedSong.assign(static_cast<size_t>(std::ceil(kBlockSamples * PlaybackRatio)) + 64, 0.0f);
  } else {
    // The last sample of a block completes it: the first sample's song
    // comes out with it, 219 frames after its voice.
    Latency = kBlockSamples - 1;
  }
  // Room for the delay, a few blocks' song and a few chunks.
  const size_t blockSong = static_cast<size_t>(std::ceil(kBlockSamples * PlaybackRatio)) + 64;
  Song.assign(static_cast<size_t>(Latency) + 4 * blockSong + 4 * kChunkFrames, 0.0f);
  Ok = true;
  Reset();
}

HostRateVocoder::~HostRateVocoder() {
  if (CaptureConverter != nullptr) src_delete(CaptureConverter);
  if (PlaybackConverter != nullptr) src_delete(PlaybackConverter);
}

void HostRateVocoder::Reset() {
  CreateEngine(*State, nullptr);
  if (CaptureConverter != nullptr) src_reset(CaptureConverter);
  if (PlaybackConverter != nullptr) src_reset(PlaybackConverter);
  BlockFill = 0;
  std::fill(Song.begin(), Song.end(), 0.0f);
  SongRead = 0;
  SongCount = static_cast<size_t>(Latency);
  Frames = 0;
  Origin = 0;
  Gathered = 0;
  AtRest = false;
  QuietVoiceFrames = 0;
  QuietSongBlocks = 0;
}

void HostRateVocoder::Process(const float* voice, float* song, uint32_t count) {
  while (count > 0) {
    const uint32_t n = std::min(count, kChunkFrames);
    ProcessChunk(voice, song, n);
    voice += n;
    song += n;
    count -= n;
  }
}

void HostRateVocoder::ProcessChunk(const float* voice, float* song, uint32_t count) {
  if (AtRest) {
    // Silence until the first frame of voice, which starts the converters;
    // meanwhile the analysis hears silent blocks at their pace.
    uint32_t silent = 0;
    while (silent < count && voice[silent] == 0.0f) ++silent;
    std::fill(song, song + silent, 0.0f);
    Frames += silent;
    const auto due = static_cast<int64_t>(
        std::floor(static_cast<double>(Frames - Origin) * static_cast<double>(kSampleRate) / HostRate));
    while (Gathered < due) TakeVoiceSample(0.0f);
    if (silent == count) return;
    StartAfresh();
    voice += silent;
    song += silent;
    count -= silent;
  }
  uint32_t loud = count;  // the last frame of voice that is not zero
  for (uint32_t i = count; i > 0; --i) {
    if (voice[i - 1] != 0.0f) {
      loud = i - 1;
      break;
    }
  }
  QuietVoiceFrames = loud == count ? QuietVoiceFrames + count : count - 1 - loud;
  // All of the chunk's voice first: song may be the same buffer.
  if (!Convert) {
    for (uint32_t i = 0; i < count; ++i) TakeVoiceSample(voice[i]);
  } else {
    SRC_DATA data{};
    data.data_in = voice;
    data.input_frames = static_cast<long>(count);
    data.src_ratio = CaptureRatio;
    for (;;) {
      data.data_out = ConvertedVoice.data();
      data.output_frames = static_cast<long>(ConvertedVoice.size());
      if (src_process(CaptureConverter, &data) != 0) break;
      for (long i = 0; i < data.output_frames_gen; ++i) TakeVoiceSample(ConvertedVoice[static_cast<size_t>(i)]);
      data.data_in += data.input_frames_used;
      data.input_frames -= data.input_frames_used;
      // Done once the voice is in and the output had room to spare.
      const bool full = data.output_frames_gen == data.output_frames;
      if (data.input_frames == 0 && !full) break;
      if (data.input_frames_used == 0 && data.output_frames_gen == 0) break;
    }
  }
  // Then the song, oldest first. The delay is long enough that the ring
  // always holds it; were it ever short, silence would stand in.
  const size_t size = Song.size();
  for (uint32_t i = 0; i < count; ++i) {
    if (SongCount == 0) {
      song[i] = 0.0f;
      continue;
    }
    song[i] = Song[SongRead];
    SongRead = SongRead + 1 == size ? 0 : SongRead + 1;
    SongCount -= 1;
  }
  Frames += count;
  if (Convert && MayRest()) AtRest = true;
}

bool HostRateVocoder::MayRest() const {
  // The capture converter's history and the block being gathered hold only
  // zeros once the voice has been silent for twice the delay and two chunks;
  // the playback converter's once it has been given four silent blocks. The
  // analysis goes on resting or not: it carries the band filters' state to
  // the next note.
  constexpr int32_t kQuietSongBlocks = 4;
  if (QuietVoiceFrames < 2 * static_cast<int64_t>(Latency) + 2 * kChunkFrames) return false;
  if (QuietSongBlocks < kQuietSongBlocks) return false;
  const EngineState& engine = *State;
  const int32_t mode = engine.Phrase.PhraseMode;
  if (mode == kPhraseCapture || !SynthesisSilent(engine)) return false;
  const size_t size = Song.size();
  for (size_t i = 0, at = SongRead; i < SongCount; ++i) {
    if (Song[at] != 0.0f) return false;
    at = at + 1 == size ? 0 : at + 1;
  }
  return true;
}

void HostRateVocoder::StartAfresh() {
  src_reset(CaptureConverter);
  src_reset(PlaybackConverter);
  BlockFill = 0;
  std::fill(Song.begin(), Song.begin() + Latency, 0.0f);
  SongRead = 0;
  SongCount = static_cast<size_t>(Latency);
  Origin = Frames;
  Gathered = 0;
  AtRest = false;
  QuietVoiceFrames = 0;
  QuietSongBlocks = 0;
}

void HostRateVocoder::Wake() {
  if (AtRest) StartAfresh();
}

void HostRateVocoder::TakeVoiceSample(float sample) {
  Block[BlockFill] = FloatToSample(sample);
  BlockFill += 1;
  Gathered += 1;
  if (BlockFill == kBlockSamples) {
    BlockFill = 0;
    RunBlock();
  }
}

void HostRateVocoder::RunBlock() {
  // The engine's live block at normal length; the song is converted below.
  EngineState& engine = *State;
  if (Observer != nullptr) {
    // The block's last sample stands on host frame Origin + s / CaptureRatio.
    const double last =
        static_cast<double>(Origin) + static_cast<double>(Gathered - 1) * HostRate / static_cast<double>(kSampleRate);
    Observer->BeforeBlock(last);
  }
  RunLiveBlock(engine, *Phrase, Block, SongBlock, kBlockSamples, [] { return true; });
  const bool silent = std::all_of(std::begin(SongBlock), std::end(SongBlock), [](int16_t x) { return x == 0; });
  QuietSongBlocks = silent ? QuietSongBlocks + 1 : 0;
  if (AtRest) return;  // a silent song, and the playback converter rests

  for (int i = 0; i < kBlockSamples; ++i) SongBlockFloat[i] = SampleToFloat(SongBlock[i]);
  if (!Convert) {
    PushSong(SongBlockFloat, kBlockSamples);
    return;
  }
  SRC_DATA data{};
  data.data_in = SongBlockFloat;
  data.input_frames = kBlockSamples;
  data.src_ratio = PlaybackRatio;
  for (;;) {
    data.data_out = ConvertedSong.data();
    data.output_frames = static_cast<long>(ConvertedSong.size());
    if (src_process(PlaybackConverter, &data) != 0) break;
    PushSong(ConvertedSong.data(), data.output_frames_gen);
    data.data_in += data.input_frames_used;
    data.input_frames -= data.input_frames_used;
    const bool full = data.output_frames_gen == data.output_frames;
    if (data.input_frames == 0 && !full) break;
    if (data.input_frames_used == 0 && data.output_frames_gen == 0) break;
  }
}

void HostRateVocoder::PushSong(const float* samples, long count) {
  const size_t size = Song.size();
  for (long i = 0; i < count && SongCount < size; ++i) {
    size_t write = SongRead + SongCount;
    if (write >= size) write -= size;
    Song[write] = samples[i];
    SongCount += 1;
  }
}

}  // namespace sorvane
