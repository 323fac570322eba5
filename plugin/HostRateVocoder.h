// SPDX-License-Identifier: GPL-3.0-or-later
// The engine at a host's sample rate and block size, on one clock: the
// voice is converted to 22050 Hz, gathered into blocks of 220 samples that
// are analysed and synthesised exactly as the engine's capture handler does
// with a normal-length block, and the song is converted back to the host's
// rate. Every capture block gives one song block of 220 samples, so there
// is no rate control and no queue to steer. The song comes out a fixed
// number of host frames late (LatencyFrames), whatever the block sizes.
// Everything is allocated on construction; Process allocates, locks and
// writes nothing.
//
// Phrase mode runs as in the engine's capture handler, on a phrase store the
// owner lends. While nothing can sound (the voice digital silence long
// enough, no voice sounding, the echo died away, the song in hand all zero)
// the converters rest: the host frames pass as silence and no block is
// made. The next frame of voice, or a Wake, starts them again as a new
// instance starts them, on a block grid that begins at that frame.
#pragma once

#include <samplerate.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/Engine.h"

namespace sorvane {

// Told before each block is analysed, with the host frame (counted from
// Reset) on which the block's last voice sample stands: a note or control
// due at or before that frame belongs to this block.
class BlockObserver {
 public:
  virtual void BeforeBlock(double lastVoiceFrame) = 0;

 protected:
  ~BlockObserver() = default;
};

class HostRateVocoder {
 public:
  // hostRate in Hz; Valid() is false when the converters cannot be made.
  explicit HostRateVocoder(double hostRate);
  ~HostRateVocoder();
  HostRateVocoder(const HostRateVocoder&) = delete;
  HostRateVocoder& operator=(const HostRateVocoder&) = delete;

  bool Valid() const { return Ok; }
  // The delay from a voice sample to the song it makes, in host frames.
  int32_t LatencyFrames() const { return Latency; }
  // The engine whose settings and voices the block pipeline uses.
  EngineState& Engine() { return *State; }

  // Back to the state after construction: the engine as CreateEngine leaves
  // it, the converters emptied, the song's delay line silent.
  void Reset();

  // Takes count frames of voice and gives count frames of song. voice and
  // song may be the same buffer.
  void Process(const float* voice, float* song, uint32_t count);

  // The store phrase mode captures into and replays; the engine's own
  // until another is lent. The store must outlive its use.
  void UsePhraseStore(PhraseStore& store) { Phrase = &store; }
  void SetBlockObserver(BlockObserver* observer) { Observer = observer; }
  // Host frames taken since Reset.
  int64_t FramesTaken() const { return Frames; }
  // Ends a rest at the next frame, so that what follows (a note, a capture)
  // reaches a block; nothing when not resting.
  void Wake();
  bool Resting() const { return AtRest; }

 private:
  // Host frames handled per converter call, which bounds the scratch buffers.
  static constexpr uint32_t kChunkFrames = 256;

  void ProcessChunk(const float* voice, float* song, uint32_t count);
  // One 22050-Hz voice sample into the block being gathered.
  void TakeVoiceSample(float sample);
  // The block pipeline for the gathered block; its song goes to the delay line.
  void RunBlock();
  void PushSong(const float* samples, long count);
  // The rest: whether it may begin after the chunk just done, and the
  // converters, block grid and delay line started afresh at the next frame.
  bool MayRest() const;
  void StartAfresh();

  bool Ok = false;
  bool Convert = false;  // false at 22050 Hz: no converter at all
  double CaptureRatio = 1.0;
  double PlaybackRatio = 1.0;
  int32_t Latency = 0;
  std::unique_ptr<EngineState> State;
  SRC_STATE* CaptureConverter = nullptr;
  SRC_STATE* PlaybackConverter = nullptr;

  std::vector<float> ConvertedVoice;  // the capture converter's output for one chunk
  std::vector<float> ConvertedSong;   // the playback converter's output for one block
  alignas(16) int16_t Block[kBlockSamples];
  int32_t BlockFill = 0;
  alignas(16) int16_t SongBlock[kBlockSamples];
  float SongBlockFloat[kBlockSamples];

  // The song at the host's rate, a ring that starts with Latency frames of
  // silence: each host frame takes the oldest.
  std::vector<float> Song;
  size_t SongRead = 0;
  size_t SongCount = 0;

  PhraseStore* Phrase = nullptr;
  BlockObserver* Observer = nullptr;
  double HostRate = 0.0;
  int64_t Frames = 0;    // host frames taken since Reset
  int64_t Origin = 0;    // the host frame the converters last started on
  int64_t Gathered = 0;  // 22050-Hz voice samples gathered since then
  bool AtRest = false;
  int64_t QuietVoiceFrames = 0;  // host frames of zero voice up to now
  int32_t QuietSongBlocks = 0;   // song blocks of zeros given to the playback converter up to now
};

}  // namespace sorvane
