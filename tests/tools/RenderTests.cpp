// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <utility>

#include <sys/stat.h>

#include "RenderSupport.h"
#include "devices/VirtualDevices.h"
#include "engine/Engine.h"
#include "tests/wavfile/WaveTestSupport.h"

namespace sorvane {
namespace {

using test::Clip;
using test::kTestData;
using test::ReadFileBytes;
using test::Scratch;
using test::SongSamples;

// Compares a rendered file with its committed golden byte for byte; on a
// difference the rendered file is kept beside the golden as .actual.
void ExpectGolden(const std::filesystem::path& rendered, const std::string& golden) {
  const auto actual = ReadFileBytes(rendered);
  const auto expected = ReadFileBytes(kTestData / golden);
  ASSERT_FALSE(expected.empty()) << golden;
  if (actual != expected) {
    std::filesystem::copy_file(rendered, kTestData / (golden + ".actual"),
                               std::filesystem::copy_options::overwrite_existing);
    size_t at = 0;
    while (at < std::min(actual.size(), expected.size()) && actual[at] == expected[at]) ++at;
    FAIL() << golden << " differs from byte " << at << " (sizes " << actual.size() << " and " << expected.size()
           << "); the render was kept as " << golden << ".actual";
  }
}

// Renders the committed clip with a committed script (as NAME.txt) and
// compares the output and report, and any file the script saved, with the
// goldens NAME.golden.*.
// options: more of the command line, which must leave the render as it is.
void ExpectScenario(const std::string& name, int blocks, const std::vector<std::string>& savedFiles = {},
                    const std::string& options = "") {
  Scratch s(Clip::Speech);
  const auto run = s.Render("--input speech.wav --output out.wav --blocks " + std::to_string(blocks) +
                            " --report out.csv --script '" + (kTestData / (name + ".txt")).string() + "' " + options);
  ASSERT_EQ(run.Status, 0) << run.Stderr;
  EXPECT_EQ(run.Stderr, "");
  ExpectGolden(s.Dir / "out.wav", name + ".golden.wav");
  ExpectGolden(s.Dir / "out.csv", name + ".golden.csv");
  for (const auto& file : savedFiles) {
    ExpectGolden(s.Dir / file, name + ".golden." + file);
  }
}

TEST(RenderGolden, LiveFeaturesMatchTheCommittedOutput) { ExpectScenario("live", 600); }

TEST(RenderGolden, PhraseFeaturesMatchTheCommittedOutput) { ExpectScenario("phrase", 1000, {"saved.wav"}); }

// Without a bend and without a glide time, the bend range and velocity
// sensitivity change nothing: the keys play at full velocity.
TEST(RenderGolden, ExpressionAtRestLeavesEveryGoldenAsItIs) {
  const std::string atRest = "--bend-range 12 --velocity --glide 0";
  ExpectScenario("live", 600, {}, atRest);
  ExpectScenario("phrase", 1000, {"saved.wav"}, atRest);
}

TEST(Render, SameInputGivesTheSameBytesTwice) {
  Scratch s(Clip::Speech);
  s.Put("s.txt", "0 down 4\n0 down 9\n30 echolevel 90\n50 waveform 2\n");
  ASSERT_EQ(s.Render("--input speech.wav --output a.wav --script s.txt").Status, 0);
  ASSERT_EQ(s.Render("--input speech.wav --output b.wav --script s.txt").Status, 0);
  const auto a = ReadFileBytes(s.Dir / "a.wav");
  EXPECT_EQ(a, ReadFileBytes(s.Dir / "b.wav"));
  // Default length covers the input: 400 blocks, the first 100 of 220 samples.
  EXPECT_GT(a.size(), 44u + 2 * 400 * 220);
}

TEST(Render, ReportHasALinePerHandledCaptureEvent) {
  Scratch s(Clip::Speech);
  ASSERT_EQ(s.Render("--input speech.wav --output o.wav --blocks 150 --report r.csv").Status, 0);
  const std::string csv = test::ReadFileText(s.Dir / "r.csv");
  EXPECT_EQ(csv.rfind("block,handled_at,queued,dropped,length,rate_state,phrase_mode\n0,220,0,0,220,0,0\n", 0), 0u);
  EXPECT_NE(csv.find("\n99,22000,0,0,220,1,0\n"), std::string::npos);  // warm-up ends on the 100th block
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 151);
}

TEST(Render, BlocksCutTheInputOrAddASilentTail) {
  Scratch s;
  ASSERT_EQ(s.Render("--input '" + (kTestData / "speech.wav").string() + "' --output o.wav --blocks 2").Status, 0);
  EXPECT_EQ(ReadFileBytes(s.Dir / "o.wav").size(), 44u + 2 * 440);
  // 400 blocks of speech, then silence: no key held, so the tail rings out to zeros.
  ASSERT_EQ(s.Render("--input '" + (kTestData / "speech.wav").string() + "' --output t.wav --blocks 900").Status, 0);
  const auto out = ReadFileBytes(s.Dir / "t.wav");
  ASSERT_GT(out.size(), 44u + 2 * 880 * 198);
  for (size_t i = out.size() - 2 * 2000; i < out.size(); ++i) ASSERT_EQ(out[i], 0) << i;
}

TEST(Render, AStallFarLongerThanTheRingLosesTheSoundButFinishes) {
  Scratch s(Clip::Speech);
  s.Put("s.txt", "5 stall 900000000\n8 down 3\n");
  ASSERT_EQ(s.Render("--input speech.wav --output o.wav --blocks 200000 --report r.csv --script s.txt").Status, 0);
  const auto text = ReadFileBytes(s.Dir / "r.csv");
  // Blocks 0-4 come before the stall, the 101 buffers hold blocks 5-105,
  // and everything after that is lost.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 5 + 101);
}

TEST(Render, AnInputOfAnotherLayoutIsConvertedAndSaysSo) {
  // The clip as stereo with both channels equal: its mean is the clip
  // itself, so the render must match the native one byte for byte.
  Scratch s(Clip::Speech);
  const test::Bytes mono = ReadFileBytes(kTestData / "speech.wav");
  test::Bytes stereo;
  for (size_t i = 44; i + 1 < mono.size(); i += 2)
    stereo.insert(stereo.end(), {mono[i], mono[i + 1], mono[i], mono[i + 1]});
  test::WriteBytes(s.Dir / "stereo.wav",
                   test::Riff({test::Chunk("fmt ", test::FmtBody(1, 2)), test::Chunk("data", stereo)}));

  s.Put("s.txt", "0 down 4\n20 down 9\n");
  const auto native = s.Render("--input speech.wav --output a.wav --script s.txt");
  ASSERT_EQ(native.Status, 0) << native.Stderr;
  const auto converted = s.Render("--input stereo.wav --output b.wav --script s.txt");
  ASSERT_EQ(converted.Status, 0) << converted.Stderr;
  EXPECT_EQ(converted.Stderr,
            "sorvane-render: stereo.wav: converted 22050 Hz, 2 channels, 16-bit to 22050 Hz mono 16-bit\n");
  EXPECT_EQ(ReadFileBytes(s.Dir / "a.wav"), ReadFileBytes(s.Dir / "b.wav"));
}

struct BadRun {
  const char* Name;
  std::string Arguments;
  std::string Script;
  int Status;
  const char* Message;  // part of what stderr must say
};

class RenderRefuses : public ::testing::TestWithParam<BadRun> {};

TEST_P(RenderRefuses, WithItsMessageAndStatusAndNoOutput) {
  const BadRun& c = GetParam();
  Scratch s(Clip::Speech);
  if (!c.Script.empty()) s.Put("bad.txt", c.Script);
  // Broken inputs, written here.
  {
    const auto wav = ReadFileBytes(kTestData / "speech.wav");
    auto put = [&](const char* name, size_t at, const test::Bytes& bytes) {
      auto copy = wav;
      std::copy(bytes.begin(), bytes.end(), copy.begin() + static_cast<long>(at));
      test::WriteBytes(s.Dir / name, copy);
    };
    put("9ch.wav", 22, {9, 0});
    put("4k.wav", 24, {0xA0, 0x0F, 0, 0});
    put("12bit.wav", 34, {12, 0});
    put("adpcm.wav", 20, {2, 0});
    put("notriff.wav", 0, {'R', 'I', 'F', 'X'});
    put("longdata.wav", 40, {0xFF, 0xFF, 0xFF, 0x7F});
    s.Put("empty.wav", "");
    test::WriteBytes(s.Dir / "nosamples.wav", test::Cat({test::Bytes(wav.begin(), wav.begin() + 40), {0, 0, 0, 0}}));
    std::filesystem::create_directory(s.Dir / "folder");
    ASSERT_EQ(::mkfifo((s.Dir / "fifo").c_str(), 0600), 0);
  }
  const auto before = s.Names();
  // Nothing may wait on a pipe: a run that hangs is ended after 30 s.
  const auto run = s.Render(c.Arguments + (c.Script.empty() ? "" : " --script bad.txt"), "", 30);
  EXPECT_EQ(run.Status, c.Status) << run.Stderr;
  EXPECT_NE(run.Stderr.find(c.Message), std::string::npos) << run.Stderr;
  EXPECT_EQ(std::count(run.Stderr.begin(), run.Stderr.end(), '\n') >= 1, true);
  // Nothing written, not even a temporary file.
  EXPECT_EQ(s.Names(), before);
}

const std::string kOk = "--input speech.wav --output o.wav";

INSTANTIATE_TEST_SUITE_P(
    BadArgumentsInputsAndScripts, RenderRefuses,
    ::testing::Values(
        BadRun{"NoInput", "--output o.wav", "", 2, "--input is required"},
        BadRun{"NoOutput", "--input speech.wav", "", 2, "--output is required"},
        BadRun{"LiveWithoutALength", "--live --output o.wav", "", 2, "--live needs --blocks"},
        BadRun{"UnknownFlag", kOk + " --speed 2", "", 2, "unknown argument"},
        BadRun{"ZeroBlocks", kOk + " --blocks 0", "", 2, "--blocks"},
        BadRun{"BlocksNotANumber", kOk + " --blocks ten", "", 2, "--blocks"},
        BadRun{"MissingInput", "--input nothere.wav --output o.wav", "", 2, "nothere.wav"},
        BadRun{"NineChannels", "--input 9ch.wav --output o.wav", "", 2, "expected 1 to 8 channels, got 9"},
        BadRun{"Rate", "--input 4k.wav --output o.wav", "", 2, "expected 8000 to 192000 Hz, got 4000 Hz"},
        BadRun{"TwelveBit", "--input 12bit.wav --output o.wav", "", 2,
               "expected 8, 16, 24 or 32-bit samples, got 12-bit"},
        BadRun{"Compressed", "--input adpcm.wav --output o.wav", "", 2, "format tag 2"},
        BadRun{"NotRiff", "--input notriff.wav --output o.wav", "", 2, "not a RIFF WAVE file"},
        BadRun{"DataPastTheEnd", "--input longdata.wav --output o.wav", "", 2, "past the end"},
        BadRun{"Empty", "--input empty.wav --output o.wav", "", 2, "not a RIFF WAVE file"},
        BadRun{"NoSamples", "--input nosamples.wav --output o.wav", "", 2, "input: the file holds no samples"},
        BadRun{"InputIsAFolder", "--input folder --output o.wav", "", 2, "input: is a folder, not a file (folder)"},
        BadRun{"InputIsADevice", "--input /dev/zero --output o.wav", "", 2, "input: is not a regular file"},
        BadRun{"UnknownCommand", kOk, "0 down 3\n5 sing 3\n", 2, "bad.txt:2: unknown command"},
        BadRun{"OutOfRange", kOk, "0 octave 4\n", 2, "bad.txt:1: octave: 4 is out of range"},
        BadRun{"KeyOutOfRange", kOk, "0 down 41\n", 2, "bad.txt:1:"},
        BadRun{"BlockTooLate", kOk + " --blocks 10", "10 down 3\n", 2, "bad.txt:1: block 10"},
        BadRun{"NegativeBlock", kOk, "-1 down 3\n", 2, "bad.txt:1:"},
        BadRun{"MissingArgument", kOk, "# fine\n\n3 echolevel\n", 2, "bad.txt:3: echolevel needs"},
        BadRun{"ArgumentAfterPhraseRec", kOk, "0 phraserec now\n", 2, "bad.txt:1: phraserec takes no"},
        BadRun{"BadWord", kOk, "0 phrase maybe\n", 2, "bad.txt:1: phrase takes on or off"},
        BadRun{"ZeroStall", kOk, "0 stall 0\n", 2, "bad.txt:1: stall"},
        BadRun{"NoPath", kOk, "0 phraseload   \n", 2, "bad.txt:1: phraseload needs"},
        BadRun{"StallTooLong", kOk, "1 stall 695368800001\n", 2,
               "bad.txt:1: stall: 695368800001 is out of range (1..695368800000)"},
        BadRun{"StallBeyond64Bits", kOk, "1 stall 9223372036854775808\n", 2, "bad.txt:1: stall: 922"},
        BadRun{"MissingScript", kOk + " --script none.txt", "", 2, "none.txt"},
        BadRun{"ScriptIsAFolder", kOk + " --script folder", "", 2, "folder: the script is a folder"},
        BadRun{"UnwritableOutput", "--input speech.wav --output nodir/o.wav", "", 1,
               "sorvane-render: nodir/o.wav: エラー: ファイルオープンエラー (mmioOpen)"},
        BadRun{"OutputIsAFolder", "--input speech.wav --output folder", "", 1, "folder: is a folder"},
        BadRun{"OutputIsADevice", "--input speech.wav --output /dev/null", "", 1, "/dev/null: is not a regular file"},
        BadRun{"UnwritableReport", kOk + " --report nodir/r.csv", "", 1, "nodir/r.csv"},
        BadRun{"InputIsAPipe", "--input fifo --output o.wav", "", 2, "input: is not a regular file"},
        BadRun{"ScriptIsAPipe", kOk + " --script fifo", "", 2, "fifo: the script is not a regular file"},
        BadRun{"MidiIsAPipe", kOk + " --midi fifo", "", 2, "fifo: the MIDI file is not a regular file"},
        BadRun{"MidiIsADevice", kOk + " --midi /dev/zero", "", 2, "/dev/zero: the MIDI file is not a regular file"},
        BadRun{"OutputIsAPipe", "--input speech.wav --output fifo", "", 1, "fifo: is not a regular file"},
        BadRun{"ReportIsAPipe", kOk + " --report fifo", "", 1, "fifo: is not a regular file"}),
    [](const ::testing::TestParamInfo<BadRun>& info) { return std::string(info.param.Name); });

// Every file of a run is a file of its own: two names for one file (the
// same name twice, another spelling of its path, a symbolic or a hard link)
// are refused before anything is written, whichever two files they are.
TEST(Render, TwoNamesForOneFileAreRefusedBeforeAnythingIsWritten) {
  Scratch s(Clip::Speech);
  s.Put("r.csv", "previous report");
  s.Put("s.txt", "0 down 4\n");
  s.Put("song.mid", "MThd");
  s.Put("save-input.txt", "0 down 4\n5 phrasesave speech.wav\n");
  s.Put("save-output.txt", "0 down 4\n5 phrasesave ./o.wav\n");
  s.Put("load-report.txt", "0 phraserec\n2 phraseload r.csv\n");
  std::filesystem::create_directory(s.Dir / "folder");
  std::filesystem::create_symlink("speech.wav", s.Dir / "link.wav");
  std::filesystem::create_hard_link(s.Dir / "r.csv", s.Dir / "folder" / "hard.csv");
  // Each name with its size and a hash of its bytes.
  const auto contents = [&] {
    std::vector<std::string> files;
    const auto add = [&](const std::string& name) {
      const std::string text = test::ReadFileText(s.Dir / name);
      files.push_back(name + " " + std::to_string(text.size()) + " " + std::to_string(std::hash<std::string>{}(text)));
    };
    for (const auto& name : s.Names()) {
      if (!std::filesystem::is_directory(s.Dir / name)) add(name);
    }
    add("folder/hard.csv");
    return files;
  };
  const auto before = contents();
  const std::pair<std::string, std::string> cases[] = {
      {"--input speech.wav --output same.wav --report same.wav",
       "--report same.wav is the same file as --output same.wav"},
      {"--input speech.wav --output o.wav --report folder/../o.wav",
       "--report folder/../o.wav is the same file as --output o.wav"},
      {"--input speech.wav --output link.wav", "--output link.wav is the same file as --input speech.wav"},
      {"--input speech.wav --output o.wav --report folder/hard.csv --script r.csv",
       "--report folder/hard.csv is the same file as --script r.csv"},
      {"--input ./speech.wav --output o.wav --midi speech.wav",
       "--midi speech.wav is the same file as --input ./speech.wav"},
      {"--input speech.wav --output o.wav --script s.txt --report s.txt",
       "--report s.txt is the same file as --script s.txt"},
      {"--input speech.wav --output o.wav --script save-input.txt",
       "save-input.txt:2: phrasesave speech.wav is the same file as --input speech.wav"},
      {"--input speech.wav --output o.wav --script save-output.txt",
       "save-output.txt:2: phrasesave ./o.wav is the same file as --output o.wav"},
      {"--input speech.wav --output o.wav --report r.csv --script load-report.txt",
       "load-report.txt:2: phraseload r.csv is the same file as --report r.csv"},
  };
  for (const auto& [arguments, message] : cases) {
    SCOPED_TRACE(arguments);
    const auto run = s.Render(arguments);
    EXPECT_EQ(run.Status, 2);
    EXPECT_EQ(run.Stderr, "sorvane-render: " + message + "; each needs a file of its own\n");
    EXPECT_EQ(contents(), before);
  }

  // A phrase file may be saved twice, and loaded back, in one run.
  s.Put("again.txt", "0 phraserec\n50 phrasesave p.wav\n60 phrasesave ./p.wav\n70 phraseload p.wav\n");
  const auto again = s.Render("--input speech.wav --output o.wav --blocks 100 --script again.txt");
  EXPECT_EQ(again.Status, 0) << again.Stderr;
  EXPECT_TRUE(std::filesystem::exists(s.Dir / "p.wav"));
}

TEST(Render, WavErrorsInTheScriptArePrintedAndTheRenderGoesOnToStatus4) {
  Scratch s(Clip::Speech);
  s.Put("s.txt", "0 phraseload missing.wav\r\n5 phrasesave nodir/x.wav\n7 down 3\n");
  const auto run = s.Render(kOk + " --script s.txt");
  EXPECT_EQ(run.Status, 4);
  EXPECT_EQ(run.Stderr,
            "sorvane-render: missing.wav: エラー: ファイルオープンエラー (mmioOpen)\n"
            "sorvane-render: nodir/x.wav: エラー: ファイルオープンエラー (mmioOpen)\n");
  EXPECT_TRUE(std::filesystem::exists(s.Dir / "o.wav"));

  // A save changes nothing in the engine: failed or not, the outputs are
  // the same bytes; only the status tells.
  s.Put("bad.txt", "5 phrasesave nodir/x.wav\n7 down 3\n");
  s.Put("good.txt", "5 phrasesave x.wav\n7 down 3\n");
  EXPECT_EQ(s.Render(kOk + " --script bad.txt --report a.csv --output a.wav").Status, 4);
  EXPECT_EQ(s.Render(kOk + " --script good.txt --report b.csv --output b.wav").Status, 0);
  EXPECT_EQ(ReadFileBytes(s.Dir / "a.wav"), ReadFileBytes(s.Dir / "b.wav"));
  EXPECT_EQ(ReadFileBytes(s.Dir / "a.csv"), ReadFileBytes(s.Dir / "b.csv"));
}

TEST(Render, AFullDiskKeepsThePreviousOutputAndLeavesNoPartialFile) {
  Scratch s(Clip::Speech);
  s.Put("o.wav", "previous");
  s.Put("r.csv", "previous");
  const auto before = s.Names();
  // Files may not grow past 64 blocks of 512 bytes: the output does not fit.
  const auto run = s.Render(kOk + " --report r.csv", "ulimit -f 64");
  EXPECT_EQ(run.Status, 1) << run.Stderr;
  EXPECT_EQ(run.Stderr, "sorvane-render: o.wav: エラー: dataチャンク書き込みエラー (mmioWrite)\n");
  EXPECT_EQ(s.Names(), before);
  EXPECT_EQ(test::ReadFileText(s.Dir / "o.wav"), "previous");
}

TEST(Render, AnInterruptedRunLeavesNoFileBehind) {
  Scratch s(Clip::Speech);
  const auto before = s.Names();
  // Ended by SIGTERM once its output files are under way, long before its
  // 2,000,000 blocks are done.
  const std::string command = "cd '" + s.Dir.string() + "' && { '" SORVANE_RENDER_BINARY "' " + kOk +
                              " --report r.csv --blocks 2000000 2> stderr.txt & pid=$!; "
                              "until ls .sorvane-render-* > /dev/null 2>&1 || ! kill -0 $pid; do sleep 0.01; done; "
                              "kill -TERM $pid; wait $pid; echo $? > stdout.txt; }";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(test::ReadFileText(s.Dir / "stdout.txt"), "143\n");  // 128 + SIGTERM: ended by the signal
  EXPECT_EQ(s.Names(), before);
}

TEST(Render, AYearLongStallIsHandledOnTheExactClock) {
  Scratch s(Clip::Speech);
  s.Put("s.txt", "1 stall 695368800000\n");
  ASSERT_EQ(s.Render(kOk + " --report r.csv --script s.txt").Status, 0);
  const std::string csv = test::ReadFileText(s.Dir / "r.csv");
  // Everything played out during the stall; the 101 blocks captured meanwhile
  // are handled at its end and fill the playback queue up to the drop gate.
  EXPECT_NE(csv.find("\n1,695368800440,0,0,220,0,0\n"), std::string::npos) << csv;
  EXPECT_TRUE(csv.ends_with("\n101,695368800440,16,1,0,0,0\n")) << csv;
}

// The low-latency mode on the exact clock: after warm-up the playback queue
// stays in 1 to 3 buffers without a drop; a stall of 300 ms fills it to the
// mode's drop gate, and within a second it is back in its band.
TEST(Render, LowLatencyKeepsTheQueueInItsBandAndRecoversFromAStall) {
  Scratch s(Clip::Speech);
  s.Put("s.txt", "0 down 13\n600 stall 6615\n");
  ASSERT_EQ(
      s.Render("--input speech.wav --output o.wav --blocks 1000 --report r.csv --latency low --script s.txt").Status,
      0);
  std::istringstream csv(test::ReadFileText(s.Dir / "r.csv"));
  std::string line;
  std::getline(csv, line);
  int settled = -1, lastOutside = -1, drops = 0;
  while (std::getline(csv, line)) {
    int block = 0, queued = 0, dropped = 0;
    long long at = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d,%lld,%d,%d", &block, &at, &queued, &dropped), 4) << line;
    const bool inBand = queued >= 1 && queued <= 3 && dropped == 0;
    if (block < 600) {
      if (settled < 0 && block >= kWarmUpBlocks && inBand) settled = block;
      if (settled >= 0) {
        EXPECT_TRUE(inBand) << line;
      }
    } else {
      ASSERT_LE(queued, kLowLatencyBand.DropDepth) << line;
      drops += dropped;
      if (!inBand) lastOutside = block;
    }
  }
  ASSERT_GE(settled, 0);
  EXPECT_LT(settled, kWarmUpBlocks + 100) << "the queue took over a second to reach its band";
  EXPECT_GT(drops, 0) << "the stall did not reach the drop gate";
  EXPECT_LT(lastOutside, 600 + 30 + 100) << "not back in the band a second after the stall";
}

// The share of the song's samples at full scale, after the header.
double ClippedShare(const std::vector<uint8_t>& wav) {
  size_t clipped = 0;
  const size_t samples = (wav.size() - 44) / 2;
  for (size_t i = 0; i < samples; ++i) {
    int16_t v;
    std::memcpy(&v, wav.data() + 44 + 2 * i, 2);
    if (v == 32767 || v == -32767) ++clipped;
  }
  return static_cast<double>(clipped) / static_cast<double>(samples);
}

TEST(Render, OutputLevelScalesTheSongBeforeTheClipAndLeavesItAloneAt0dB) {
  Scratch s(Clip::Speech);
  std::string chord;
  for (int key : {4, 9, 13, 16, 20, 25, 28, 32}) chord += "0 down " + std::to_string(key) + "\n";
  s.Put("chord.txt", chord + "0 echolevel 60\n");
  s.Put("quiet.txt", chord + "0 echolevel 60\n0 outputlevel -12\n");
  const std::string run = "--input speech.wav --blocks 400 ";
  ASSERT_EQ(s.Render(run + "--output a.wav --script chord.txt").Status, 0);
  ASSERT_EQ(s.Render(run + "--output b.wav --script chord.txt --output-level 0").Status, 0);
  ASSERT_EQ(s.Render(run + "--output c.wav --script chord.txt --output-level -12").Status, 0);
  ASSERT_EQ(s.Render(run + "--output d.wav --script quiet.txt").Status, 0);
  const auto loud = ReadFileBytes(s.Dir / "a.wav");
  EXPECT_EQ(loud, ReadFileBytes(s.Dir / "b.wav"));
  const auto quiet = ReadFileBytes(s.Dir / "c.wav");
  EXPECT_EQ(quiet, ReadFileBytes(s.Dir / "d.wav"));
  EXPECT_GT(ClippedShare(loud), 0.05);
  EXPECT_LT(ClippedShare(quiet), 0.01);
  const auto bad = s.Render("--input speech.wav --output e.wav --output-level 7");
  EXPECT_EQ(bad.Status, 2);
  EXPECT_NE(bad.Stderr.find("--output-level takes whole decibels from -24 to 6, not \"7\""), std::string::npos);
}

// How many output samples the blocks before `block` handed to the playback
// device, from the report.
size_t OutputBefore(const std::string& report, int block) {
  std::istringstream lines(report);
  std::string line;
  std::getline(lines, line);  // the header
  size_t samples = 0;
  while (std::getline(lines, line)) {
    int index = 0, handledAt = 0, queued = 0, dropped = 0, length = 0;
    if (std::sscanf(line.c_str(), "%d,%d,%d,%d,%d", &index, &handledAt, &queued, &dropped, &length) != 5) break;
    if (index >= block) break;
    samples += static_cast<size_t>(length);
  }
  return samples;
}

// After the last key goes up the song rings out and falls silent, and it
// stays silent while the voice goes on, whatever the voice brings: speech
// that pauses and comes back, or a steady harmonic voice (a synthesizer fed
// into the input), whose frames would otherwise keep driving the lattice's
// residue back up to full scale.
TEST(Render, AfterTheLastKeyTheSongRingsOutAndStaysSilent) {
  Scratch s(Clip::Speech);
  test::Bytes harmonic;
  for (int i = 0; i < 4 * 22050; ++i) {
    const double t = i / 22050.0;
    const double v =
        5000 * (std::sin(2 * M_PI * 200 * t) + std::sin(2 * M_PI * 400 * t) + std::sin(2 * M_PI * 600 * t));
    test::PutLe(harmonic, static_cast<uint16_t>(static_cast<int16_t>(std::lround(v))), 2);
  }
  test::WriteBytes((s.Dir / "harmonic.wav").string(),
                   test::Riff({test::Chunk("fmt ", test::FmtBody(1)), test::Chunk("data", harmonic)}));
  s.Put("release.txt", "5 down 24\n100 up 24\n");
  for (const std::string voice : {"speech", "harmonic"}) {
    SCOPED_TRACE(voice);
    const auto run = s.Render("--input " + voice + ".wav --blocks 400 --script release.txt --output " + voice +
                              ".out.wav --report " + voice + ".csv");
    ASSERT_EQ(run.Status, 0) << run.Stderr;
    const auto song = SongSamples(ReadFileBytes(s.Dir / (voice + ".out.wav")));
    const size_t released = OutputBefore(test::ReadFileText(s.Dir / (voice + ".csv")), 100);
    const size_t quiet = OutputBefore(test::ReadFileText(s.Dir / (voice + ".csv")), 130);
    ASSERT_LT(quiet, song.size());
    // The note sounded up to its release.
    EXPECT_GT(*std::max_element(song.begin(), song.begin() + static_cast<long>(released)), 1000);
    for (size_t i = quiet; i < song.size(); ++i) {
      ASSERT_EQ(song[i], 0) << "sample " << i << " of " << song.size() << ", no key held since sample " << released;
    }
  }
}

TEST(Render, LatencyTakesOnlyItsTwoModes) {
  Scratch s;
  const auto run = s.Render("--input nothere.wav --output o.wav --latency fast");
  EXPECT_EQ(run.Status, 2);
  EXPECT_TRUE(run.Stderr.starts_with("sorvane-render: --latency takes normal or low, not \"fast\"\n")) << run.Stderr;
}

// Stalls the loop by the largest time there is, twice.
class EndlessStall final : public VirtualLoopClient {
 public:
  void BeforeCapture(VirtualAudioRig& rig, int32_t block) override {
    if (block == 1 || block == 2) rig.Stall(INT64_MAX);
  }
  void AfterCapture(VirtualAudioRig&, int32_t block, int64_t handledAt) override {
    Handled.emplace_back(block, handledAt);
  }
  std::vector<std::pair<int32_t, int64_t>> Handled;
};

TEST(VirtualClock, StopsAtItsLargestTimeInsteadOfWrapping) {
  auto engine = std::make_unique<EngineState>();
  auto rig = std::make_unique<VirtualAudioRig>();
  CreateEngine(*engine, nullptr);
  engine->CaptureDevice = &rig->Capture();
  engine->PlaybackDevice = &rig->Playback();
  OpenAudio(*engine);
  EndlessStall client;
  rig->Run(EngineEvents(*engine), 300, &client);
  ASSERT_EQ(client.Handled.size(), 1u + 101u);
  EXPECT_EQ(client.Handled[0], std::make_pair(0, int64_t{220}));
  for (size_t i = 1; i < client.Handled.size(); ++i) EXPECT_EQ(client.Handled[i].second, INT64_MAX) << i;
  EXPECT_EQ(rig->Clock(), INT64_MAX);
}

TEST(Render, HelpAndVersionAnswerWithoutTouchingAFile) {
  Scratch s;
  // The named files do not exist: neither answer looks at them.
  auto run = s.Render("--input nothere.wav --output nodir/o.wav --help");
  EXPECT_EQ(run.Status, 0);
  EXPECT_TRUE(run.Stdout.starts_with("usage: sorvane-render --input SPEECH.wav")) << run.Stdout;
  EXPECT_EQ(run.Stderr, "");
  run = s.Render("--live --version");
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(run.Stdout, "sorvane-render " SORVANE_VERSION "\n");
  EXPECT_EQ(run.Stderr, "");
}

}  // namespace
}  // namespace sorvane
