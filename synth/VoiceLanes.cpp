// SPDX-License-Identifier: GPL-3.0-or-later
// The voice kernels of each vector path.
#include "synth/VoiceLanes.h"

namespace sorvane {

const VoiceKernels& VoiceKernelsSse2();
const VoiceKernels& VoiceKernelsAvx2();
const VoiceKernels& VoiceKernelsAvx512();

const VoiceKernels& VoiceKernelsFor(SimdPath path) {
  switch (path) {
    case SimdPath::kAvx512: return VoiceKernelsAvx512();
    case SimdPath::kAvx2: return VoiceKernelsAvx2();
    default: return VoiceKernelsSse2();
  }
}

}  // namespace sorvane
