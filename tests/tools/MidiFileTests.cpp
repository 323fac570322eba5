// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI files in the renderer: the reader's time arithmetic, renders that
// must equal the same notes written as script lines, refusals of broken
// files, and a randomised fuzz of the reader.
#include <gtest/gtest.h>

#include <algorithm>

#include "RenderSupport.h"
#include "SmfBuilder.h"
#include "tests/support/DamagedFiles.h"
#include "tools/render/MidiFile.h"

namespace sorvane {
namespace {

using test::Clip;
using test::ReadFileBytes;
using test::Scratch;
using namespace test::smf;

// One song, 100 ticks a quarter: notes with running status and a
// velocity-0 release, a tempo change, the wheel, a key pressed at one octave
// and released at another. Format 0 holds it in one track; format 1 keeps
// the tempo map in track 1 and the notes in track 2.
Bytes Song(int format) {
  Bytes tempo, notes;
  Tempo(tempo, 0, 500000);            // 5000 us a tick
  Tempo(tempo, 60, 250000);           // from tick 60 (300 ms): 2500 us a tick
  Event(notes, 20, {0x90, 60, 100});  // 100 ms: block 10
  Event(notes, 0, {62, 80});          // running status
  Event(notes, 20, {60, 0});          // 200 ms, block 20: velocity 0 releases
  Event(notes, 20, {0xB0, 1, 127});   // 300 ms: wheel up
  Event(notes, 20, {0x80, 62, 0});    // 350 ms: block 35
  Event(notes, 1, {0x90, 64, 100});   // 352.5 ms: block 35
  Event(notes, 0, {48, 100});
  Event(notes, 39, {0x80, 64, 0});  // 450 ms: block 45
  Event(notes, 0, {48, 0});         // running status note-off
  if (format == 1) {
    EndOfTrack(tempo);
    EndOfTrack(notes);
    return Smf(1, 100, {tempo, notes});
  }
  // One track: the tempo change sits between the events of tick 60; a meta
  // event ends running status, so the next event names its status.
  Bytes one;
  Tempo(one, 0, 500000);
  Event(one, 20, {0x90, 60, 100});
  Event(one, 0, {62, 80});
  Event(one, 20, {60, 0});
  Tempo(one, 20, 250000);
  Event(one, 0, {0xB0, 1, 127});
  Event(one, 20, {0x80, 62, 0});
  Event(one, 1, {0x90, 64, 100});
  Event(one, 0, {48, 100});
  Event(one, 39, {0x80, 64, 0});
  Event(one, 0, {48, 0});
  EndOfTrack(one);
  return Smf(0, 100, {one});
}

// The octave changes that the MIDI renders get from a script, and the same
// song written as script lines: note 60 at "High" is key 4, note 62 key 6
// (released by key even after the octave went back), at "Mid" note 64 is
// key 28 and note 48 key 4.
const char kOctaves[] = "10 octave 3\n32 octave 2\n";
const char kAsScript[] =
    "10 octave 3\n10 down 4\n10 down 6\n20 up 4\n30 moddepth 100\n32 octave 2\n"
    "35 up 6\n35 down 28\n35 down 4\n45 up 28\n45 up 4\n";

TEST(MidiFileRead, TimesComeFromTheWholeTempoMapRoundedDownOnce) {
  // 3 ticks a quarter; a tick is 33333.67 us, then 66667.33 us: rounding each
  // segment would give 100000 us at tick 2, the exact time is 100001 us.
  Bytes track;
  Tempo(track, 0, 100001);
  Event(track, 1, {0x90, 60, 1});
  Tempo(track, 0, 200002);
  Event(track, 1, {0x80, 60, 0});
  EndOfTrack(track);
  const Bytes file = Smf(0, 3, {track});
  MidiSong song;
  std::string error;
  ASSERT_TRUE(ParseMidiFile(file.data(), file.size(), kMidiAllChannels, song, error)) << error;
  ASSERT_EQ(song.Events.size(), 2u);
  EXPECT_EQ(song.Events[0].Micros, 33333);
  EXPECT_EQ(song.Events[0].Block, 3);
  EXPECT_EQ(song.Events[1].Micros, 100001);
  EXPECT_EQ(song.Events[1].Block, 10);
  EXPECT_EQ(song.LastReleaseBlock, 10);

  // SMPTE time, 25 frames of 40 ticks: a tick is 1000 us. Within a block the
  // tracks keep file order, track by track, even against their ticks.
  Bytes a, b;
  Event(a, 9, {0x90, 60, 1});  // 9 ms, block 0
  Event(b, 3, {0x91, 62, 1});  // 3 ms, block 0
  Event(b, 7, {0x91, 62, 0});  // 10 ms, block 1
  const Bytes smpte = Smf(1, 0xE728, {a, b});
  ASSERT_TRUE(ParseMidiFile(smpte.data(), smpte.size(), kMidiAllChannels, song, error)) << error;
  ASSERT_EQ(song.Events.size(), 3u);
  EXPECT_EQ(song.Events[0].Bytes[0], 0x90);
  EXPECT_EQ(song.Events[1].Micros, 3000);
  EXPECT_EQ(song.Events[2].Block, 1);
  // One channel only.
  ASSERT_TRUE(ParseMidiFile(smpte.data(), smpte.size(), 1, song, error)) << error;
  EXPECT_EQ(song.Events.size(), 2u);
}

TEST(MidiRender, EqualsTheSameNotesWrittenAsScriptLines) {
  Scratch s(Clip::Speech);
  s.Put("script.txt", kAsScript);
  s.Put("octaves.txt", kOctaves);
  s.Put("song0.mid", Text(Song(0)));
  s.Put("song1.mid", Text(Song(1)));
  const std::string common = "--input speech.wav --blocks 120 ";
  ASSERT_EQ(s.Render(common + "--output script.wav --script script.txt").Status, 0);
  const auto expected = ReadFileBytes(s.Dir / "script.wav");
  ASSERT_GT(expected.size(), 44u);
  for (const char* name : {"song0", "song1"}) {
    SCOPED_TRACE(name);
    const std::string out = std::string(name) + ".wav";
    const auto run = s.Render(common + "--output " + out + " --script octaves.txt --midi " + name + ".mid");
    ASSERT_EQ(run.Status, 0) << run.Stderr;
    EXPECT_EQ(run.Stderr, "");
    EXPECT_TRUE(ReadFileBytes(s.Dir / out) == expected);
  }
  // Alone, at "Mid" throughout: note 60 is key 24, 62 key 26, 48 key 4.
  s.Put("mid.txt",
        "10 down 24\n10 down 26\n20 up 24\n30 moddepth 100\n35 up 26\n35 down 28\n35 down 4\n"
        "45 up 28\n45 up 4\n");
  ASSERT_EQ(s.Render(common + "--output mid.wav --script mid.txt").Status, 0);
  ASSERT_EQ(s.Render(common + "--output alone.wav --midi song0.mid").Status, 0);
  EXPECT_TRUE(ReadFileBytes(s.Dir / "alone.wav") == ReadFileBytes(s.Dir / "mid.wav"));
  // Only channel 2 plays: this song has nothing there, which is the render
  // of the octave script alone.
  ASSERT_EQ(s.Render(common + "--output octaves.wav --script octaves.txt").Status, 0);
  ASSERT_EQ(s.Render(common + "--output ch2.wav --script octaves.txt --midi song0.mid --midi-channel 2").Status, 0);
  EXPECT_TRUE(ReadFileBytes(s.Dir / "ch2.wav") == ReadFileBytes(s.Dir / "octaves.wav"));
  EXPECT_FALSE(ReadFileBytes(s.Dir / "ch2.wav") == expected);
}

TEST(MidiRender, WithoutBlocksRunsTwoSecondsPastTheLastReleaseOrToTheInputsEnd) {
  Scratch s(Clip::Speech);  // 401 blocks, the last one partial
  Bytes late;
  Event(late, 0, {0x90, 60, 100});
  Event(late, 4500, {0x80, 60, 0});  // 500 ticks a quarter note of 0.5 s: 4.5 s, block 451
  EndOfTrack(late);
  s.Put("late.mid", Text(Smf(0, 500, {late})));
  s.Put("early.mid", Text(Song(0)));
  const auto lines = [&](const std::string& midi) {
    const auto run = s.Render("--input speech.wav --output o.wav --report r.csv --midi " + midi);
    EXPECT_EQ(run.Status, 0) << run.Stderr;
    const auto csv = ReadFileBytes(s.Dir / "r.csv");
    return std::count(csv.begin(), csv.end(), '\n') - 1;
  };
  // Blocks 451 to 651 hold the 44100 samples that follow the release.
  EXPECT_EQ(lines("late.mid"), 451 + 201);
  EXPECT_EQ(lines("early.mid"), 401);
}

struct BrokenMidi {
  const char* Name;
  Bytes File;
  const char* Message;
};

std::vector<BrokenMidi> BrokenFiles() {
  Bytes good;
  Event(good, 0, {0x90, 60, 100});
  EndOfTrack(good);
  Bytes noStatus, system, longDelta, shortTempo, cut, dataHigh;
  Event(noStatus, 0, {60, 100});
  Event(system, 0, {0xF4});
  Append(longDelta, {0x81, 0x81, 0x81, 0x81, 0x01, 0x90, 60, 1});
  Event(shortTempo, 0, {0xFF, 0x51, 0x02, 1, 2});
  Event(cut, 0, {0x90, 60});
  Event(dataHigh, 0, {0x90, 60, 0x80});
  Bytes pastEnd = Smf(0, 96, {good});
  pastEnd[21] = 0x7F;  // the track's length
  Bytes endless;       // a release after 2^28 ticks of 16.7 s
  Tempo(endless, 0, 0xFFFFFF);
  Event(endless, 0x0FFFFFFF, {0x80, 60, 0});
  // A zero tempo in the tempo track, before the notes of the next.
  Bytes zeroTempo;
  Tempo(zeroTempo, 0, 500000);
  Tempo(zeroTempo, 96, 0);
  EndOfTrack(zeroTempo);
  Bytes missingTrack = Smf(1, 96, {good});
  missingTrack[11] = 2;
  return {
      {"Empty", {}, "not a Standard MIDI File"},
      {"Wave", Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 0, 0}, "not a Standard MIDI File"},
      {"Format2", Smf(2, 96, {good}), "format 2 is not supported"},
      {"Format0TwoTracks", Smf(0, 96, {good, good}), "format 0 with 2 tracks"},
      {"ZeroDivision", Smf(0, 0, {good}), "time division of 0"},
      {"BadSmpteRate", Smf(0, 0xEA28, {good}), "SMPTE"},
      {"TrackPastTheEnd", pastEnd, "track 1 runs past the end of the file"},
      {"MissingTrack", missingTrack, "the header says 2 tracks, the file holds 1"},
      {"NoRunningStatus", Smf(0, 96, {noStatus}), "without a status"},
      {"SystemCommonByte", Smf(0, 96, {system}), "unexpected status byte 0xF4"},
      {"LongDelta", Smf(0, 96, {longDelta}), "longer than four bytes"},
      {"ShortTempo", Smf(0, 96, {shortTempo}), "tempo event of 2 bytes"},
      {"CutInsideAnEvent", Smf(0, 96, {cut}), "ends inside an event"},
      {"DataByteAbove127", Smf(0, 96, {dataHigh}), "above 127"},
      {"TooLongToRender", Smf(0, 1, {endless}), "too long to render"},
      {"ZeroTempo", Smf(1, 96, {zeroTempo, good}), "a tempo of 0 microseconds per quarter note in track 1"},
  };
}

TEST(MidiRender, BrokenFilesAreRefusedNamingTheFileWithNoOutput) {
  Scratch s(Clip::Speech);
  for (const BrokenMidi& b : BrokenFiles()) {
    SCOPED_TRACE(b.Name);
    const std::string name = std::string(b.Name) + ".mid";
    s.Put(name, Text(b.File));
    const auto run = s.Render("--input speech.wav --output o.wav --midi " + name);
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Stderr.find(name + ": "), std::string::npos) << run.Stderr;
    EXPECT_NE(run.Stderr.find(b.Message), std::string::npos) << run.Stderr;
    EXPECT_FALSE(std::filesystem::exists(s.Dir / "o.wav"));
  }
  const auto missing = s.Render("--input speech.wav --output o.wav --midi none.mid");
  EXPECT_EQ(missing.Status, 2);
  EXPECT_NE(missing.Stderr.find("none.mid"), std::string::npos);
  const auto channel = s.Render("--input speech.wav --output o.wav --midi none.mid --midi-channel 17");
  EXPECT_EQ(channel.Status, 2);
  EXPECT_NE(channel.Stderr.find("--midi-channel"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(s.Dir / "o.wav"));
}

// Seeded random damage to valid files, every cut of them, and planted
// lengths: the reader answers yes or no with a message, and (under the
// sanitizers) reads nothing outside the bytes it was given.
TEST(MidiFileFuzz, DamagedFilesAreReadOrRefusedNeverOverrun) {
  const std::vector<Bytes> valid = {Song(0), Song(1)};
  int accepted = 0, refused = 0;
  const auto check = [&](const Bytes& file) {
    // An exact-size copy on the heap, so that any overrun is caught.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[std::max<size_t>(file.size(), 1)]);
    std::copy(file.begin(), file.end(), copy.get());
    MidiSong song;
    std::string error;
    if (ParseMidiFile(copy.get(), file.size(), kMidiAllChannels, song, error)) {
      ++accepted;
      for (const MidiFileEvent& e : song.Events) {
        ASSERT_TRUE(e.Length == 2 || e.Length == 3);
        ASSERT_GE(e.Block, 0);
        ASSERT_TRUE(e.Bytes[0] >= 0x80 && e.Bytes[0] < 0xF0);
      }
    } else {
      ++refused;
      ASSERT_FALSE(error.empty());
    }
  };
  for (const Bytes& v : valid) {
    for (size_t n = 0; n <= v.size(); ++n) check(Bytes(v.begin(), v.begin() + static_cast<long>(n)));
  }
  test::ForEachDamaged(valid, 20261207, 20000, {.BigEndian = true}, check);
  EXPECT_GT(accepted, 100);
  EXPECT_GT(refused, 1000);
}

}  // namespace
}  // namespace sorvane
