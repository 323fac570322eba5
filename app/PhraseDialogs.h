// SPDX-License-Identifier: GPL-3.0-or-later
// The file dialogs of the phrase group: titles and filters by language, the
// default extension and the overwrite prompt of the save dialog.
#pragma once

class QFileDialog;

namespace sorvane {

void PrepareLoadDialog(QFileDialog& dialog, bool japanese);
void PrepareSaveDialog(QFileDialog& dialog, bool japanese);

}  // namespace sorvane
