// SPDX-License-Identifier: GPL-3.0-or-later
// The live block's analysis and synthesis or phrase capture, in the order
// the signal path has them.
#include "engine/LiveBlock.h"

#include <cstring>

#include "engine/SilentBlocks.h"

namespace sorvane {

void SynthesiseLiveBlock(EngineState& engine, PhraseStore& store, const int16_t* capture, int16_t* out,
                         int32_t blockLength) {
  const int32_t mode = engine.Phrase.PhraseMode;
  if (mode != kPhraseReplay) AnalyseBlock(engine.Analysis, capture, engine.Switches.Emphasis, engine.Frame);

  if (mode == kPhraseCapture) {
    if (CapturePhraseBlock(engine.Phrase, store, capture, engine.Frame)) {
      engine.Host->PhraseButtonsChanged(engine.Phrase.Buttons);
    }
    std::memset(out, 0, static_cast<size_t>(2 * blockLength));
  } else if (SynthesisSilent(engine)) {
    SkipSilentSynthesis(engine, mode == kPhraseReplay, out, blockLength);
  } else {
    const SynthInputs inputs{engine.Params,         engine.Switches, engine.CtrlHeld,
                             mode == kPhraseReplay, engine.Frame,    store};
    SynthesizeBlock(engine.Synth, engine.Pool, inputs, out, blockLength);
  }
}

}  // namespace sorvane
