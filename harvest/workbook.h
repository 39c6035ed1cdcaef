#pragma once
// The workbook made from the finished result file, and handing it to the desktop.

#include <QString>

#include "platform/atomicfile.h"
#include "platform/fileoutcome.h"

struct [[nodiscard]] WorkbookOutcome : FileOutcome {
  int rows = 0;        // lines of the sheet, the header included
  int truncated = 0;   // cells cut to the 32,767 characters a cell can hold
};

// Reads the result file (UTF-8 with a mark, TAB-separated, CR LF) and writes an .xlsx with
// one sheet: bold frozen header with an autofilter and columns at least as wide as their
// titles; "Количество домов" and "Суммарное число жилых помещений в домах" as numbers where
// they are whole numbers; "Дата регистрации" as a date shown dd.mm.yyyy where it is a valid
// date; "Ссылка" as a hyperlink where it is a web address a spreadsheet can hold (a HYPERLINK
// formula showing the address, up to 255 characters; a longer address up to 2,079 as the
// library's own link, of which a sheet holds 65,530); every other cell as a string
// (identifiers keep their leading zeros and every digit). Rows are streamed; only the long
// links stay in memory until the end (about 2.6 KB each). The result file itself is only read.
WorkbookOutcome ExportWorkbook(const QString& tabPath, const QString& xlsxPath);

// The workbook written beside its final name and renamed over it once complete and synced:
// a kill during the export never leaves a half workbook that a resumed run would take for a
// finished one. The old workbook (perhaps open in a spreadsheet program) stays when it
// cannot be replaced.
WorkbookOutcome ExportWorkbookAtomically(const QString& tabPath, const QString& xlsxPath,
                                         const SyncCall& sync = {});
