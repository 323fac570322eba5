// SPDX-License-Identifier: GPL-3.0-or-later
// The output WAV and the report, written as the run goes and renamed into
// place together at its end.
#include "tools/render/RunOutputs.h"

#include <cerrno>
#include <cstdio>

#include <unistd.h>

#include "wavfile/ErrorBox.h"
#include "wavfile/WaveFile.h"
#include "wavfile/WaveHeaders.h"

namespace sorvane {
namespace {

// Output written to the files at a time.
constexpr size_t kFileBufferBytes = 65536;

bool WriteAll(int fd, const void* data, size_t count) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (count > 0) {
    const ssize_t n = ::write(fd, p, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool RunOutputs::Open(const RenderOptions& options) {
  Options = &options;
  std::string reason;
  bool openFailed = false;
  if (!options.Output.empty() && !Wave.Create(options.Output, reason, openFailed)) {
    if (openFailed) {
      // What the WAV writer says when it cannot open its file.
      FileBoxScope scope(options.Output);
      ShowWaveError("ファイルオープンエラー (mmioOpen)");
    } else {
      std::fprintf(stderr, "sorvane-render: %s: %s\n", options.Output.c_str(), reason.c_str());
    }
    return false;
  }
  if (!options.Report.empty() && !Report.Create(options.Report, reason, openFailed)) {
    std::fprintf(stderr, "sorvane-render: cannot write the report %s: %s\n", options.Report.c_str(), reason.c_str());
    return false;
  }
  if (!options.Output.empty()) {
    // The program's WAV layout, its sizes fixed up at the end: RIFF, a
    // 16-byte format chunk, then the data as it is played.
    WaveFile.Fd = Wave.Fd();
    // Room for what one more write adds before the buffer is flushed.
    WaveBuffer.reserve(kFileBufferBytes + 4096);
    WaveMessage = WaveHeaderMessage(WriteWaveHeaders(WaveFile, RiffPart, DataPart, kWaveFormatBytes));
    if (ShowWaveMessage()) return false;
  }
  if (!options.Report.empty()) {
    ReportBuffer.reserve(kFileBufferBytes + 256);
    ReportBuffer.append(ReportHeader());
  }
  return true;
}

bool RunOutputs::ShowWaveMessage() const {
  if (WaveMessage == nullptr) return false;
  FileBoxScope scope(Options->Output);
  ShowWaveError(WaveMessage);
  return true;
}

bool RunOutputs::FlushWave() {
  if (WaveMessage == nullptr && !WaveBuffer.empty() &&
      RiffWrite(WaveFile, WaveBuffer.data(), WaveBuffer.size()) != static_cast<int64_t>(WaveBuffer.size())) {
    WaveMessage = "dataチャンク書き込みエラー (mmioWrite)";
  }
  WaveBuffer.clear();
  return WaveMessage == nullptr;
}

bool RunOutputs::FlushReport() {
  if (!ReportFailed && !ReportBuffer.empty() && !WriteAll(Report.Fd(), ReportBuffer.data(), ReportBuffer.size())) {
    ReportFailed = true;
  }
  ReportBuffer.clear();
  return !ReportFailed;
}

void RunOutputs::Write(const int16_t* samples, int64_t count) {
  if (Options == nullptr || Options->Output.empty() || WaveMessage != nullptr) return;
  for (int64_t i = 0; i < count; ++i) {
    const auto v = static_cast<uint16_t>(samples[i]);
    WaveBuffer.push_back(static_cast<uint8_t>(v));
    WaveBuffer.push_back(static_cast<uint8_t>(v >> 8));
  }
  if (WaveBuffer.size() >= kFileBufferBytes) FlushWave();
}

void RunOutputs::AddReportLine(const ReportLine& line) {
  if (Options == nullptr || Options->Report.empty() || ReportFailed) return;
  // Into the buffer reserved at the start: a live run adds a line per block
  // on its event thread, where nothing is allocated.
  char text[kReportLineBytes];
  FormatReportLine(line, text);
  ReportBuffer += text;
  if (ReportBuffer.size() >= kFileBufferBytes) FlushReport();
}

bool RunOutputs::Finish() {
  const RenderOptions& options = *Options;
  if (!options.Output.empty()) {
    if (FlushWave()) {
      if (RiffAscend(WaveFile, DataPart) != RiffStatus::Ok) {
        WaveMessage = "dataチャンク書き込みエラー (mmioAscend)";
      } else if (RiffAscend(WaveFile, RiffPart) != RiffStatus::Ok) {
        WaveMessage = "RIFFチャンク書き込みエラー (mmioAscend)";
      }
    }
    if (ShowWaveMessage()) return false;
  }
  if (!options.Report.empty() && !FlushReport()) {
    std::fprintf(stderr, "sorvane-render: cannot write the report %s\n", options.Report.c_str());
    return false;
  }
  // Both files are complete and on the disk, and both final names can take
  // them, before either is renamed: only a failure of the second rename
  // itself can still leave a new output beside an old report.
  std::string reason;
  // One step for both files, the output first; false with the message.
  const auto both = [&](auto step) {
    if (!options.Output.empty() && !step(Wave)) {
      std::fprintf(stderr, "sorvane-render: %s: %s\n", options.Output.c_str(), reason.c_str());
      return false;
    }
    if (!options.Report.empty() && !step(Report)) {
      std::fprintf(stderr, "sorvane-render: cannot write the report %s: %s\n", options.Report.c_str(), reason.c_str());
      return false;
    }
    return true;
  };
  return both([&](PendingOutput& o) { return o.Sync(reason); }) &&
         both([&](PendingOutput& o) { return o.TargetFits(reason); }) &&
         both([&](PendingOutput& o) { return o.Rename(reason); });
}

}  // namespace sorvane
