// SPDX-License-Identifier: GPL-3.0-or-later
// The Standard MIDI File reader and the renderer's MIDI player. The reader
// trusts no length in the file: every chunk, variable-length quantity and
// event is checked against the bytes that remain before it is used, and
// memory grows only with events actually read from the file.
#include "tools/render/MidiFile.h"

#include "tools/render/RenderFiles.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace sorvane {

namespace {

constexpr uint32_t kDefaultTempo = 500'000;  // us per quarter note until the first tempo event
constexpr int64_t kMicrosPerSecond = 1'000'000;
// Far beyond any render (8 million blocks at most); keeps block arithmetic
// in range for absurd files.
constexpr int64_t kBlockLimit = int64_t{1} << 40;

using Wide = unsigned __int128;

// One event read from a track, before times are known.
struct RawEvent {
  uint64_t Tick;
  uint32_t Track;
  uint32_t Index;  // position within the track
  bool Tempo;      // a tempo change; else a channel message
  uint32_t TempoValue;
  std::array<uint8_t, 3> Bytes;
  uint8_t Length;
};

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02X", v);
  return text;
}

class Cursor {
 public:
  Cursor(const uint8_t* data, size_t size) : Data(data), Size(size) {}
  size_t Left() const { return Size - Pos; }
  bool Byte(uint8_t& b) {
    if (Pos >= Size) return false;
    b = Data[Pos++];
    return true;
  }
  bool Skip(uint64_t n) {
    if (n > Left()) return false;
    Pos += static_cast<size_t>(n);
    return true;
  }
  // A variable-length quantity of at most four bytes: 1 when read, 0 when
  // the data ends before its first byte, -1 when it is longer than four
  // bytes, -2 when the data ends inside it.
  int Quantity(uint32_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
      uint8_t b;
      if (!Byte(b)) return i == 0 ? 0 : -2;
      value = (value << 7) | (b & 0x7F);
      if ((b & 0x80) == 0) return 1;
    }
    return -1;
  }

 private:
  const uint8_t* Data;
  size_t Size;
  size_t Pos = 0;
};

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

bool ReadTrack(const uint8_t* data, size_t size, uint32_t track, int32_t channel, std::vector<RawEvent>& events,
               std::string& error) {
  Cursor in(data, size);
  const std::string where = " in track " + std::to_string(track + 1);
  uint64_t tick = 0;
  uint8_t running = 0;
  uint32_t index = 0;
  while (in.Left() > 0) {
    uint32_t delta;
    const int q = in.Quantity(delta);
    if (q < 0) {
      error = (q == -1 ? "a delta time longer than four bytes" : "the track ends inside an event") + where;
      return false;
    }
    if (q == 0) break;  // the track's data ends with the last event
    tick += delta;
    uint8_t status;
    if (!in.Byte(status)) {
      error = "the track ends inside an event" + where;
      return false;
    }
    if (status == 0xFF) {
      running = 0;
      uint8_t type;
      uint32_t length;
      if (!in.Byte(type) || in.Quantity(length) != 1 || length > in.Left()) {
        error = "a meta event runs past the end of the track" + where;
        return false;
      }
      if (type == 0x2F) return true;  // end of track: the rest of the chunk is not read
      if (type == 0x51) {
        if (length != 3) {
          error = "a tempo event of " + std::to_string(length) + " bytes" + where;
          return false;
        }
        uint8_t t[3] = {};
        in.Byte(t[0]);
        in.Byte(t[1]);
        in.Byte(t[2]);
        const uint32_t microsPerQuarter = (uint32_t{t[0]} << 16) | (uint32_t{t[1]} << 8) | t[2];
        // A quarter note of no time would put every later event at one
        // instant: no song can be meant by it.
        if (microsPerQuarter == 0) {
          error = "a tempo of 0 microseconds per quarter note" + where;
          return false;
        }
        events.push_back({tick, track, index++, true, microsPerQuarter, {}, 0});
        continue;
      }
      in.Skip(length);
      continue;
    }
    if (status == 0xF0 || status == 0xF7) {
      running = 0;
      uint32_t length;
      if (in.Quantity(length) != 1 || !in.Skip(length)) {
        error = "a system exclusive event runs past the end of the track" + where;
        return false;
      }
      continue;
    }
    if (status > 0xF0) {
      error = "unexpected status byte " + Hex(status) + where;
      return false;
    }
    std::array<uint8_t, 3> bytes{};
    size_t have = 0;
    if (status < 0x80) {
      if (running == 0) {
        error = "a data byte without a status (running status not set)" + where;
        return false;
      }
      bytes[1] = status;
      have = 1;
      status = running;
    }
    running = status;
    bytes[0] = status;
    const uint8_t kind = status & 0xF0;
    const size_t dataBytes = (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
    for (size_t i = have; i < dataBytes; ++i) {
      if (!in.Byte(bytes[1 + i])) {
        error = "the track ends inside an event" + where;
        return false;
      }
    }
    for (size_t i = 1; i <= dataBytes; ++i) {
      if (bytes[i] > 0x7F) {
        error = "data byte " + Hex(bytes[i]) + " above 127" + where;
        return false;
      }
    }
    const bool kept = kind == 0x80 || kind == 0x90 || kind == 0xB0 || kind == 0xE0;
    if (kept && (channel == kMidiAllChannels || (status & 0x0F) == channel)) {
      events.push_back({tick, track, index++, false, 0, bytes, static_cast<uint8_t>(1 + dataBytes)});
    }
  }
  return true;
}

bool IsRelease(const MidiFileEvent& e) {
  const uint8_t kind = e.Bytes[0] & 0xF0;
  if (kind == 0x80) return true;
  if (kind == 0x90) return e.Bytes[2] == 0;
  if (kind == 0xB0) {
    return (e.Bytes[1] == kCcSustain && e.Bytes[2] < kMidiPedalDown) || e.Bytes[1] == kCcAllNotesOff ||
           e.Bytes[1] == kCcAllSoundOff;
  }
  return false;
}

}  // namespace

bool ParseMidiFile(const uint8_t* data, size_t size, int32_t channel, MidiSong& song, std::string& error) {
  if (size < 14 || Be32(data) != 0x4D546864) {  // "MThd"
    error = "not a Standard MIDI File (no MThd header)";
    return false;
  }
  const uint32_t headerLength = Be32(data + 4);
  if (headerLength < 6 || headerLength > size - 8) {
    error = "the MThd header has a bad length (" + std::to_string(headerLength) + ")";
    return false;
  }
  const uint16_t format = Be16(data + 8);
  const uint16_t tracks = Be16(data + 10);
  const uint16_t division = Be16(data + 12);
  if (format > 1) {
    error = "MIDI file format " + std::to_string(format) + " is not supported (only 0 and 1)";
    return false;
  }
  if (tracks == 0 || (format == 0 && tracks != 1)) {
    error = "format " + std::to_string(format) + " with " + std::to_string(tracks) + " tracks";
    return false;
  }
  // Time: metrical (ticks per quarter note, scaled by the tempo) or SMPTE
  // (frames per second times ticks per frame, no tempo).
  uint64_t ticksPerQuarter = 0;
  uint64_t smpteNumerator = 0, smpteDenominator = 0;  // us = ticks * numerator / denominator
  if ((division & 0x8000) == 0) {
    ticksPerQuarter = division;
    if (ticksPerQuarter == 0) {
      error = "a time division of 0 ticks per quarter note";
      return false;
    }
  } else {
    const int fps = -static_cast<int8_t>(division >> 8);
    const uint64_t ticksPerFrame = division & 0xFF;
    if ((fps != 24 && fps != 25 && fps != 29 && fps != 30) || ticksPerFrame == 0) {
      error = "an SMPTE time division of " + std::to_string(fps) + " frames per second and " +
              std::to_string(ticksPerFrame) + " ticks per frame";
      return false;
    }
    // 29 stands for 30000/1001 frames per second.
    smpteNumerator = fps == 29 ? uint64_t{1001} * kMicrosPerSecond : kMicrosPerSecond;
    smpteDenominator = (fps == 29 ? 30000 : static_cast<uint64_t>(fps)) * ticksPerFrame;
  }

  std::vector<RawEvent> raw;
  size_t pos = 8 + static_cast<size_t>(headerLength);
  uint32_t found = 0;
  while (found < tracks) {
    if (size - pos < 8) {
      error = "the header says " + std::to_string(tracks) + " tracks, the file holds " + std::to_string(found);
      return false;
    }
    const uint32_t type = Be32(data + pos);
    const uint32_t length = Be32(data + pos + 4);
    pos += 8;
    if (length > size - pos) {
      error = (type == 0x4D54726B ? "track " + std::to_string(found + 1) : std::string("a chunk")) +
              " runs past the end of the file";
      return false;
    }
    if (type == 0x4D54726B) {  // "MTrk"; other chunks are skipped
      if (!ReadTrack(data + pos, length, found, channel, raw, error)) return false;
      ++found;
    }
    pos += length;
  }

  // The tempo map: tempo events of every track, by tick, file order kept.
  std::stable_sort(raw.begin(), raw.end(), [](const RawEvent& a, const RawEvent& b) { return a.Tick < b.Tick; });
  song = {};
  std::vector<std::pair<size_t, MidiFileEvent>> timed;  // file position order key, event
  Wide scaled = 0;                                      // us x ticksPerQuarter up to lastTick
  uint64_t lastTick = 0;
  uint32_t tempo = kDefaultTempo;
  for (const RawEvent& e : raw) {
    Wide micros;
    if (ticksPerQuarter != 0) {
      scaled += static_cast<Wide>(e.Tick - lastTick) * tempo;
      lastTick = e.Tick;
      micros = scaled / ticksPerQuarter;
    } else {
      micros = static_cast<Wide>(e.Tick) * smpteNumerator / smpteDenominator;
    }
    if (e.Tempo) {
      tempo = e.TempoValue;
      continue;
    }
    const Wide block = micros * kBlocksPerSecondTimesSamples / kMicrosPerBlockNumerator;
    MidiFileEvent out;
    out.Block = block > static_cast<Wide>(kBlockLimit) ? kBlockLimit : static_cast<int64_t>(block);
    out.Micros = micros > static_cast<Wide>(kBlockLimit) * 10000 ? kBlockLimit * 10000 : static_cast<int64_t>(micros);
    out.Bytes = e.Bytes;
    out.Length = e.Length;
    timed.push_back({(static_cast<size_t>(e.Track) << 32) | e.Index, out});
  }
  // Within a block, events are carried out in the order they stand in the
  // file: track by track, each track from its start.
  std::sort(timed.begin(), timed.end(), [](const auto& a, const auto& b) {
    return a.second.Block != b.second.Block ? a.second.Block < b.second.Block : a.first < b.first;
  });
  song.Events.reserve(timed.size());
  for (const auto& t : timed) {
    song.Events.push_back(t.second);
    if (IsRelease(t.second)) song.LastReleaseBlock = std::max(song.LastReleaseBlock, t.second.Block);
  }
  return true;
}

bool LoadMidiFile(const std::string& fileName, int32_t channel, MidiSong& song, std::string& error) {
  // Only a regular file, opened without waiting: a pipe or a device is
  // refused at once, and a file is read only as long as it was when opened.
  std::vector<uint8_t> bytes;
  std::string reason;
  if (!ReadRegularFile(fileName, bytes, reason, kMaxMidiFileBytes,
                       "larger than " + std::to_string(kMaxMidiFileBytes >> 20) + " MiB, too large for a MIDI file")) {
    error = fileName + ": the MIDI file " + reason;
    if (reason.starts_with("larger")) error = fileName + ": " + reason;
    return false;
  }
  if (!ParseMidiFile(bytes.data(), bytes.size(), channel, song, error)) {
    error = fileName + ": " + error;
    return false;
  }
  return true;
}

MidiPlayer::MidiPlayer(EngineState& engine, const MidiSong& song, int32_t channel) : Engine(engine), Song(song) {
  ResetMidiNotes(Notes, channel);
}

void MidiPlayer::Play(int64_t block) {
  const std::vector<MidiFileEvent>& events = Song.Events;
  while (Next < events.size() && events[Next].Block < block) ++Next;
  for (; Next < events.size() && events[Next].Block == block; ++Next) {
    MidiMessage(Notes, events[Next].Bytes.data(), events[Next].Length, Engine.Params.Octave, *this);
  }
}

void MidiPlayer::MidiKeyDown(int32_t key) { KeyNoteOn(Engine, key); }

void MidiPlayer::MidiKeyStruck(int32_t key, int32_t velocity) { KeyNoteOn(Engine, key, velocity); }

void MidiPlayer::MidiPitchBend(int32_t bend) { SetPitchBend(Engine, bend); }

void MidiPlayer::MidiKeyUp(int32_t key) { KeyNoteOff(Engine, key); }

// As the scroll bars (the script's moddepth, modrate, echolevel, echodelay,
// outputlevel) set them. A file's controllers drive only the modulation
// wheel's control: nothing is learnt in a render.
void MidiPlayer::MidiControlChange(MidiControl control, int32_t value) { SetMidiControl(Engine, control, value); }

}  // namespace sorvane
