// SPDX-License-Identifier: GPL-3.0-or-later
// The run's outputs, committed together when the run is complete.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/VirtualDevices.h"
#include "tools/render/RenderFiles.h"
#include "tools/render/RenderOptions.h"
#include "tools/render/RenderReport.h"
#include "wavfile/Riff.h"

namespace sorvane {

// The run's output WAV and report, written as the run goes under temporary
// names beside their final ones, and renamed into place only when both are
// complete and on the disk, so that a failed or interrupted run leaves no
// partial output. Either may be left out (an empty name in the options).
// Memory does not grow with their length.
class RunOutputs final : public VirtualPlaybackSink {
 public:
  RunOutputs() = default;
  RunOutputs(const RunOutputs&) = delete;
  RunOutputs& operator=(const RunOutputs&) = delete;

  // Creates both before the run and writes their headers, so that an output
  // that cannot be written is known at once; false with the message shown.
  bool Open(const RenderOptions& options);
  // What was played, appended to the output WAV.
  void Write(const int16_t* samples, int64_t count) override;
  void AddReportLine(const ReportLine& line);
  // A write has failed: the run may as well stop.
  bool Failed() const { return WaveMessage != nullptr || ReportFailed; }
  // Completes both files, flushes them to the disk, then renames both into
  // place; false with the message shown.
  bool Finish();

 private:
  // Shows the failing step's WAV message in a box that names the output;
  // false when nothing has failed.
  bool ShowWaveMessage() const;
  bool FlushWave();
  bool FlushReport();

  const RenderOptions* Options = nullptr;
  PendingOutput Wave;
  PendingOutput Report;
  RiffFile WaveFile;
  RiffChunk RiffPart{};
  RiffChunk DataPart{};
  std::vector<uint8_t> WaveBuffer;
  std::string ReportBuffer;
  const char* WaveMessage = nullptr;  // the first failing step's WAV message
  bool ReportFailed = false;
};

}  // namespace sorvane
