// SPDX-License-Identifier: GPL-3.0-or-later
// The renderer's report: a CSV line per handled capture event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sorvane {

// One line of the report, per handled capture event.
struct ReportLine {
  int32_t Block;
  int64_t HandledAt;
  int32_t Queued;
  bool Dropped;
  int32_t Length;
  int32_t RateState;
  int32_t PhraseMode;
};

std::string ReportHeader();
// One line of the report, with its line feed, as a C string.
inline constexpr size_t kReportLineBytes = 160;
void FormatReportLine(const ReportLine& line, char (&text)[kReportLineBytes]);

}  // namespace sorvane
