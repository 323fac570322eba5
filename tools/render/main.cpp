// SPDX-License-Identifier: GPL-3.0-or-later
// sorvane-render: vocodes a recorded voice in batch, following a script of
// key presses and control changes, with the same engine as the program.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "tools/render/DistinctFiles.h"
#include "tools/render/InputWave.h"
#include "tools/render/MidiFile.h"
#include "tools/render/Render.h"
#include "tools/render/RenderFiles.h"
#include "tools/render/Script.h"
#if defined(SORVANE_HAVE_LIVE)
#include "tools/render/LiveRun.h"
#endif

#if !defined(SORVANE_VERSION)
#define SORVANE_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "usage: sorvane-render --input SPEECH.wav --output OUT.wav [--script SCRIPT.txt]\n"
    "                      [--midi SONG.mid [--midi-channel C]] [--blocks N] [--report REPORT.csv]\n"
    "                      [--latency normal|low] [--output-level DB]\n"
    "                      [--bend-range N] [--glide MS] [--velocity]\n"
    "       sorvane-render --live [--input SPEECH.wav] [--blocks N] [--output PLAYED.wav]\n"
    "                      [--script SCRIPT.txt] [--report REPORT.csv] [--latency normal|low]\n"
    "                      [--output-level DB] [--bend-range N] [--glide MS] [--velocity]\n"
    "       sorvane-render --help | --version\n";

const char kHelp[] =
    "\n"
    "Vocodes a recorded voice with the engine of the desktop program, following a\n"
    "script of key presses and control changes, and writes what it played.\n"
    "\n"
    "  --input FILE    the voice, a linear PCM WAV file\n"
    "  --output FILE   everything the engine queued for playing, as a WAV file\n"
    "  --script FILE   one command a line: BLOCK COMMAND [ARGUMENT], carried out\n"
    "                  just before capture block BLOCK\n"
    "  --midi FILE     a Standard MIDI File (format 0 or 1) whose notes play the\n"
    "                  keys, as a MIDI keyboard does in the desktop program\n"
    "  --midi-channel C  only the notes of channel C (1-16) of the MIDI file\n"
    "  --blocks N      capture blocks of 10 ms to run (default: cover the input,\n"
    "                  and two seconds past the MIDI file's last note)\n"
    "  --report FILE   one CSV line per capture event\n"
    "  --live          run on the default sound devices and the real clock\n"
    "  --latency MODE  normal (default): the song about 85 to 110 ms behind the\n"
    "                  voice; low: about 20 to 35 ms, the playback queue kept at\n"
    "                  1 to 3 blocks and the sound server asked for its smallest\n"
    "                  sensible buffers\n"
    "  --output-level DB  the song's level before it is clipped to 16 bits,\n"
    "                  -24 to 6 dB in whole decibels (default 0: unchanged)\n"
    "  --bend-range N  semitones of a full pitch bend, 1 to 12 (default 2)\n"
    "  --glide MS      a new note glides from the last note's pitch to its own\n"
    "                  in MS milliseconds, 0 to 1000 (default 0: no glide)\n"
    "  --velocity      a MIDI note's velocity sets its level (127 as without)\n"
    "\n"
    "Exit status: 0 done, 1 an output could not be written, 2 a bad argument,\n"
    "input file or script line, 3 (--live) the sound devices could not be used,\n"
    "4 the outputs were written but a phraseload or phrasesave failed.\n";

int Render(int argc, char** argv, int& failStatus) {
  using namespace sorvane;
  RenderOptions options;
  std::string error;
  if (!ParseRenderArguments(argc, argv, options, error)) {
    std::fprintf(stderr, "sorvane-render: %s\n%s", error.c_str(), kUsage);
    return kExitBadInput;
  }
  if (options.Help) {
    std::printf("%s%s", kUsage, kHelp);
    return kExitOk;
  }
  if (options.Version) {
    std::printf("sorvane-render %s\n", SORVANE_VERSION);
    return kExitOk;
  }
  InstallRenderErrorBox();
  RemovePendingOutputsOnSignal();

  // No file may be written over another of the run's: the files named here
  // now, and the script's phrase files once it is read.
  if (!CheckDistinctFiles(options, {}, error)) {
    std::fprintf(stderr, "sorvane-render: %s\n", error.c_str());
    return kExitBadInput;
  }

  // The input is checked now and read as the blocks need it.
  InputWave input;
  if (!options.Input.empty() && !input.Open(options.Input, error)) {
    std::fprintf(stderr, "sorvane-render: %s\n", error.c_str());
    return kExitBadInput;
  }
  MidiSong song;
  if (!options.Midi.empty() && !LoadMidiFile(options.Midi, options.MidiChannel, song, error)) {
    std::fprintf(stderr, "sorvane-render: %s\n", error.c_str());
    return kExitBadInput;
  }
  if (options.Blocks < 0) {
    int64_t samples = 0;
    if (!options.Input.empty() && !input.CountSamples(samples, error)) {
      std::fprintf(stderr, "sorvane-render: %s\n", error.c_str());
      return kExitBadInput;
    }
    options.Blocks = (samples + kBlockSamples - 1) / kBlockSamples;
    // A song runs on two seconds past its last release.
    if (song.LastReleaseBlock >= 0) options.Blocks = std::max(options.Blocks, song.LastReleaseBlock + kMidiTailBlocks);
    if (options.Blocks > kMaxRenderBlocks && song.LastReleaseBlock + kMidiTailBlocks == options.Blocks) {
      std::fprintf(stderr, "sorvane-render: %s: the song is too long to render (more than 22 hours)\n",
                   options.Midi.c_str());
      return kExitBadInput;
    }
    if (options.Blocks == 0) {
      std::fprintf(stderr,
                   "sorvane-render: input: the file holds no samples, so there is nothing to run; "
                   "--blocks N renders N blocks of silence (%s)\n",
                   options.Input.c_str());
      return kExitBadInput;
    }
  }
  if (options.Blocks > kMaxRenderBlocks) {
    std::fprintf(stderr, "sorvane-render: --blocks %lld is too many (at most %lld, 22 hours)\n",
                 static_cast<long long>(options.Blocks), static_cast<long long>(kMaxRenderBlocks));
    return kExitBadInput;
  }
  std::vector<ScriptCommand> commands;
  if (!options.Script.empty() && !LoadScript(options.Script, options.Blocks, commands, error)) {
    std::fprintf(stderr, "sorvane-render: %s\n", error.c_str());
    return kExitBadInput;
  }
  if (!CheckDistinctFiles(options, commands, error)) {
    std::fprintf(stderr, "sorvane-render: %s\n", error.c_str());
    return kExitBadInput;
  }
  failStatus = kExitWriteFailed;
  if (options.Live) {
#if defined(SORVANE_HAVE_LIVE)
    return RunLive(options, commands);
#else
    std::fprintf(stderr, "sorvane-render: this build has no live sound (built without the sound devices)\n");
    return kExitBadInput;
#endif
  }
  return RunRender(options, options.Input.empty() ? nullptr : &input, commands, options.Midi.empty() ? nullptr : &song);
}

}  // namespace

int main(int argc, char** argv) {
  // A file grown past the size limit fails its write, which is reported,
  // instead of ending the program.
  std::signal(SIGXFSZ, SIG_IGN);
  // Nothing is expected to throw; should memory run out, the run still ends
  // with a message, and the unfinished outputs are removed on the way.
  int failStatus = sorvane::kExitBadInput;
  try {
    return Render(argc, argv, failStatus);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "sorvane-render: not enough memory\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sorvane-render: %s\n", e.what());
  }
  return failStatus;
}
