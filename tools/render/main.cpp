// sorvane-render: vocodes a recorded voice in batch, following a script of
// key presses and control changes, with the same engine as the program.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/render/InputWave.h"
#include "tools/render/MidiFile.h"
#include "tools/render/Render.h"
#include "tools/render/Script.h"
#if defined(SORVANE_HAVE_LIVE)
#include "tools/render/LiveRun.h"
#endif

namespace {

const char kUsage[] =
    "usage: sorvane-render --input SPEECH.wav --output OUT.wav [--script SCRIPT.txt]\n"
    "                      [--midi SONG.mid [--midi-channel C]] [--blocks N] [--report REPORT.csv]\n"
    "       sorvane-render --live [--input SPEECH.wav] [--blocks N] [--output PLAYED.wav]\n"
    "                      [--script SCRIPT.txt] [--report REPORT.csv]\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace sorvane;
  RenderOptions options;
  std::string error;
  if (!ParseRenderArguments(argc, argv, options, error)) {
    std::fprintf(stderr, "sorvane-render: %s\n%s", error.c_str(), kUsage);
    return kExitBadInput;
  }
  std::vector<int16_t> input;
  if (!options.Input.empty() && !ReadInputWave(options.Input, input, error)) {
    std::fprintf(stderr, "sorvane-render: %s\n", error.c_str());
    return kExitBadInput;
  }
  MidiSong song;
  if (!options.Midi.empty() && !LoadMidiFile(options.Midi, options.MidiChannel, song, error)) {
    std::fprintf(stderr, "sorvane-render: %s\n", error.c_str());
    return kExitBadInput;
  }
  if (options.Blocks < 0) {
    options.Blocks = (static_cast<int64_t>(input.size()) + kBlockSamples - 1) / kBlockSamples;
    // A song runs on two seconds past its last release.
    if (song.LastReleaseBlock >= 0) options.Blocks = std::max(options.Blocks, song.LastReleaseBlock + kMidiTailBlocks);
    if (options.Blocks > 8'000'000 && song.LastReleaseBlock + kMidiTailBlocks == options.Blocks) {
      std::fprintf(stderr, "sorvane-render: %s: the song is too long to render (more than 22 hours)\n",
                   options.Midi.c_str());
      return kExitBadInput;
    }
  }
  // The output must fit a WAV file: at most 242 samples a block, 4 GiB.
  if (options.Blocks > 8'000'000) {
    std::fprintf(stderr, "sorvane-render: --blocks %lld is too many\n", static_cast<long long>(options.Blocks));
    return kExitBadInput;
  }
  std::vector<ScriptCommand> commands;
  if (!options.Script.empty() && !LoadScript(options.Script, options.Blocks, commands, error)) {
    std::fprintf(stderr, "sorvane-render: %s\n", error.c_str());
    return kExitBadInput;
  }
  if (options.Live) {
#if defined(SORVANE_HAVE_LIVE)
    return RunLive(options, input, commands);
#else
    std::fprintf(stderr, "sorvane-render: this build has no live sound (built without PortAudio)\n");
    return kExitBadInput;
#endif
  }
  return RunRender(options, input, commands, options.Midi.empty() ? nullptr : &song);
}
