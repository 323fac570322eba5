// SPDX-License-Identifier: GPL-3.0-or-later
// The renderer's report lines.
#include "tools/render/RenderReport.h"

#include <cstdio>

namespace sorvane {

std::string ReportHeader() { return "block,handled_at,queued,dropped,length,rate_state,phrase_mode\n"; }

void FormatReportLine(const ReportLine& l, char (&line)[kReportLineBytes]) {
  std::snprintf(line, sizeof line, "%d,%lld,%d,%d,%d,%d,%d\n", l.Block, static_cast<long long>(l.HandledAt), l.Queued,
                l.Dropped ? 1 : 0, l.Length, l.RateState, l.PhraseMode);
}

}  // namespace sorvane
