// SPDX-License-Identifier: GPL-3.0-or-later
// The one writer of a WAV file's headers, behind the phrase files, the takes
// and the renderer's output: the RIFF chunk of form WAVE, the format chunk
// with the engine's format record, and the data chunk's header, after which
// the samples follow.
#pragma once

#include <cstdint>

#include "wavfile/Riff.h"

namespace sorvane {

// The step of WriteWaveHeaders that failed; None when all were written.
enum class WaveHeaderFault : uint8_t { None, RiffCreate, FormatCreate, FormatWrite, FormatAscend, DataCreate };

// Writes the headers on a new file at its start. riff.Size and data.Size
// are written as given (the sizes the file claims until the chunks are
// ascended); FormType and Id are set here. The format chunk holds the first
// formatBytes of kWaveFormatRecord: kWaveFormatBytes, or kWaveFormatExBytes
// with the zero extra-size field. On success the file stands at the first
// sample and data is open for RiffAscend, and then riff.
WaveHeaderFault WriteWaveHeaders(RiffFile& file, RiffChunk& riff, RiffChunk& data, uint32_t formatBytes);

// The WAV writer's message for a failed step, as the error box shows it.
const char* WaveHeaderMessage(WaveHeaderFault fault);

}  // namespace sorvane
