#include "harvest/workbook.h"

#include "platform/atomicfile.h"
#include "platform/platform.h"

#include <xlsxwriter.h>

#include <QDate>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <algorithm>
#include <memory>

namespace {

// A cell holds at most this many characters.
constexpr qsizetype kCellLimit = 32767;
// Columns 25 and 29 (house count, residential premises) as zero-based indexes.
constexpr int kNumberColumns[] = {24, 28};
// "Дата регистрации" and "Ссылка" as zero-based indexes.
constexpr int kDateColumn = 5;
constexpr int kLinkColumn = 29;
// What a spreadsheet takes as a link: longer ones, and links past the count, stay text.
constexpr qsizetype kUrlLimit = 2079;
constexpr int kLinkLimit = LXW_MAX_NUMBER_URLS;
// The longest address a HYPERLINK formula takes (in characters; counted here in bytes, which
// are never fewer).
constexpr qsizetype kFormulaUrlLimit = 255;
// Whole numbers beyond 2^53 would lose digits as a spreadsheet number: kept as text.
constexpr int64_t kExactDoubleLimit = int64_t(1) << 53;

struct WorkbookDeleter {
  // Only for paths that give up: a finished workbook is closed (and freed) by workbook_close.
  void operator()(lxw_workbook* wb) const { lxw_workbook_free(wb); }
};
using WorkbookPtr = std::unique_ptr<lxw_workbook, WorkbookDeleter>;

QString LibError(const char* what, lxw_error code) {
  return QStringLiteral("ошибка записи книги в %1: %2").arg(QString::fromLatin1(what), QString::fromUtf8(lxw_strerror(code)));
}

bool IsNumberColumn(int col) {
  return std::find(std::begin(kNumberColumns), std::end(kNumberColumns), col) !=
         std::end(kNumberColumns);
}

// A whole number that fits a spreadsheet number exactly: optional minus, 1 to 16 digits.
bool WholeNumber(const QString& text, double* out) {
  if (text.isEmpty() || text.size() > 17) return false;
  bool ok = false;
  const qlonglong v = text.toLongLong(&ok, 10);
  if (!ok || v >= kExactDoubleLimit || v <= -kExactDoubleLimit) return false;
  // toLongLong accepts blanks and a "+"; a cell keeps such text as it stands.
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (!(c.isDigit() && c.unicode() < 0x80) && !(i == 0 && c == u'-' && text.size() > 1))
      return false;
  }
  *out = double(v);
  return true;
}

// Cuts a text to the cell limit, counted in characters (code points), without splitting a
// surrogate pair.
QString FitCell(const QString& text, bool* cut) {
  *cut = false;
  if (text.size() <= kCellLimit) return text;
  qsizetype units = 0;
  qsizetype chars = 0;
  while (units < text.size() && chars < kCellLimit) {
    units += (text[units].isHighSurrogate() && units + 1 < text.size() &&
              text[units + 1].isLowSurrogate())
                 ? 2
                 : 1;
    ++chars;
  }
  if (units >= text.size()) return text;
  *cut = true;
  return text.left(units);
}

// The registration date as the card handler leaves it (dd.mm.yyyy), or as the portal sends it
// (yyyy-mm-dd, perhaps with a midnight time: T00:00, T00:00:00, T00:00:00.0…), when it names a
// day a spreadsheet can hold. Read by hand: it is looked at in every row.
bool ParseDate(const QByteArray& text, lxw_datetime* out) {
  const auto digits = [&text](qsizetype from, qsizetype count, int* value) {
    if (from + count > text.size()) return false;
    int v = 0;
    for (qsizetype i = from; i < from + count; ++i) {
      const char c = text[i];
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
  };
  int y = 0, m = 0, d = 0;
  if (text.size() == 10 && text[2] == '.' && text[5] == '.') {
    if (!digits(0, 2, &d) || !digits(3, 2, &m) || !digits(6, 4, &y)) return false;
  } else if (text.size() >= 10 && text[4] == '-' && text[7] == '-') {
    if (!digits(0, 4, &y) || !digits(5, 2, &m) || !digits(8, 2, &d)) return false;
    const QByteArray time = text.mid(10);
    if (!time.isEmpty() && time != "T00:00" && time != "T00:00:00") {
      // T00:00:00. followed by one or more zeros
      if (!time.startsWith("T00:00:00.") || time.size() == 10) return false;
      for (qsizetype i = 10; i < time.size(); ++i)
        if (time[i] != '0') return false;
    }
  } else {
    return false;
  }
  // Spreadsheet days start in 1900; a day such as 31.02 is no date at all.
  if (y < 1900 || !QDate(y, m, d).isValid()) return false;
  *out = lxw_datetime{y, m, d, 0, 0, 0.0};
  return true;
}

// A web address that may become a link: http(s) only (the library reads "internal:" and
// "external:" as links into files), within the length a spreadsheet keeps, no blanks or
// control characters.
bool LinkableUrl(const QByteArray& utf8) {
  if (utf8.size() > kUrlLimit) return false;
  const QByteArray lower = utf8.left(8).toLower();
  if (!lower.startsWith("https://") && !lower.startsWith("http://")) return false;
  for (const char c : utf8)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;
  return true;
}

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF): only then do they go into the workbook as they are.
bool ValidUtf8(const QByteArray& bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
  const auto* end = p + bytes.size();
  while (p < end) {
    const unsigned char b = *p;
    if (b < 0x80) {
      ++p;
      continue;
    }
    const int n = (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xe ? 3 : (b >> 3) == 0x1e ? 4 : 0;
    if (n == 0 || end - p < n) return false;
    for (int k = 1; k < n; ++k)
      if ((p[k] & 0xc0) != 0x80) return false;
    if ((n == 2 && b < 0xc2) || (b == 0xe0 && p[1] < 0xa0) || (b == 0xed && p[1] >= 0xa0) ||
        (b == 0xf0 && p[1] < 0x90) || (b == 0xf4 && p[1] >= 0x90) || b > 0xf4)
      return false;
    p += n;
  }
  return true;
}

double ColumnWidth(int col, const QString& title) {
  // Wide enough for the bold title; wide content columns get more room.
  const double fit = std::max(12.0, double(title.size()) * 1.1 + 2);
  switch (col) {
    case 2:   // full name
    case 9:   // addresses of the organisation
    case 10:
    case 11:
    case 19:  // opening hours
    case 21:
    case 23:  // reception hours
    case 27:  // house addresses
      return std::max(50.0, fit);
    case 1:   // GUID
    case 29:  // link
      return std::max(38.0, fit);
    default:
      return std::min(fit, 60.0);
  }
}

}  // namespace

WorkbookOutcome ExportWorkbook(const QString& tabPath, const QString& xlsxPath) {
  WorkbookOutcome out;
  QFile tab(tabPath);
  if (!tab.open(QIODevice::ReadOnly)) {
    out.reason = QStringLiteral("файл %1 не открыт: %2").arg(QDir::toNativeSeparators(tabPath), ReadFailureReason(tabPath));
    return out;
  }

  lxw_workbook_options options{};
  options.constant_memory = LXW_TRUE;  // rows go straight to disk, memory stays flat
  // Lives until the workbook is closed: its temporary files are made there until then.
  QByteArray tempFolder = WorkbookTempFolder();
  options.tmpdir = tempFolder.isEmpty() ? nullptr : tempFolder.data();
  WorkbookPtr wb(workbook_new_opt(LibraryFileName(xlsxPath).constData(), &options));
  if (!wb) {
    out.reason = QStringLiteral("файл %1 не создан").arg(QDir::toNativeSeparators(xlsxPath));
    return out;
  }
  lxw_worksheet* ws = workbook_add_worksheet(wb.get(), "data");
  lxw_format* bold = workbook_add_format(wb.get());
  lxw_format* date = workbook_add_format(wb.get());
  lxw_format* link = workbook_add_format(wb.get());
  if (!ws || !bold || !date || !link) {
    out.reason = QStringLiteral("в книгу не добавлен лист");
    return out;
  }
  format_set_bold(bold);
  format_set_num_format(date, "dd.mm.yyyy");
  // Drawn as the spreadsheet draws its own links.
  format_set_font_color(link, LXW_COLOR_BLUE);
  format_set_underline(link, LXW_UNDERLINE_SINGLE);

  worksheet_freeze_panes(ws, 1, 0);  // returns nothing to check
  lxw_error rc = LXW_NO_ERROR;

  // Every way out before workbook_close leaves the workbook unwritten (the deleter frees it).
  lxw_row_t row = 0;
  int columns = 0;
  int links = 0;
  bool first = true;
  while (!tab.atEnd()) {
    QByteArray bytes = tab.readLine();
    if (tab.error() != QFileDevice::NoError) {
      out.reason = QStringLiteral("файл %1 не прочитан: %2").arg(QDir::toNativeSeparators(tabPath), ReadFailureReason(tabPath));
      return out;
    }
    if (first && bytes.startsWith("\xEF\xBB\xBF")) bytes.remove(0, 3);
    while (bytes.endsWith('\n') || bytes.endsWith('\r')) bytes.chop(1);
    if (bytes.isEmpty() && tab.atEnd()) break;
    if (row >= LXW_ROW_MAX) {
      out.reason = QStringLiteral("в файле результатов больше строк, чем вмещает лист");
      return out;
    }
    // The cells go to the writer as the UTF-8 bytes they are; only a damaged line is made
    // well-formed first (what cannot be read becomes U+FFFD, as in every text of the program).
    if (!ValidUtf8(bytes)) bytes = QString::fromUtf8(bytes).toUtf8();
    const QList<QByteArray> fields = bytes.split('\t');
    const int n = int(std::min<qsizetype>(fields.size(), LXW_COL_MAX));
    if (first) {
      columns = n;
      for (int c = 0; c < columns; ++c) {
        rc = worksheet_set_column(ws, lxw_col_t(c), lxw_col_t(c), ColumnWidth(c, QString::fromUtf8(fields[c])),
                                  nullptr);
        if (rc != LXW_NO_ERROR) {
          out.reason = LibError("worksheet_set_column", rc);
          return out;
        }
      }
    }
    for (int c = 0; c < n; ++c) {
      const QByteArray& value = fields[c];
      if (value.isEmpty()) continue;
      double number = 0;
      lxw_datetime day{};
      bool asText = true;
      if (!first && IsNumberColumn(c) && WholeNumber(QString::fromUtf8(value), &number)) {
        rc = worksheet_write_number(ws, row, lxw_col_t(c), number, nullptr);
        asText = false;
      } else if (!first && c == kDateColumn && ParseDate(value, &day)) {
        rc = worksheet_write_datetime(ws, row, lxw_col_t(c), &day, date);
        asText = false;
      } else if (!first && c == kLinkColumn) {
        const QByteArray& url = value;
        if (LinkableUrl(url) && url.size() <= kFormulaUrlLimit) {
          // A HYPERLINK formula with the address as its shown value: a link a spreadsheet
          // follows like any other, written with its row and not kept in memory until the
          // end (the library keeps about 2.6 KB for every link of its own kind), and without
          // that kind's limit of 65,530 links.
          QByteArray formula = "=HYPERLINK(\"" + QByteArray(url).replace('"', "\"\"") + "\")";
          rc = worksheet_write_formula_str(ws, row, lxw_col_t(c), formula.constData(), link, url.constData());
          asText = false;
        } else if (LinkableUrl(url) && links < kLinkLimit) {
          rc = worksheet_write_url(ws, row, lxw_col_t(c), url.constData(), nullptr);
          // A link the library refuses for its length (after its escaping) or number is
          // written as text instead.
          asText = rc == LXW_ERROR_WORKSHEET_MAX_URL_LENGTH_EXCEEDED ||
                   rc == LXW_ERROR_WORKSHEET_MAX_NUMBER_URLS_EXCEEDED;
          if (rc == LXW_NO_ERROR) ++links;
        }
      }
      if (asText) {
        // No more characters than bytes: only a long value needs counting and perhaps cutting.
        bool cut = false;
        const QByteArray utf8 = value.size() <= kCellLimit ? value : FitCell(QString::fromUtf8(value), &cut).toUtf8();
        if (cut) ++out.truncated;
        rc = worksheet_write_string(ws, row, lxw_col_t(c), utf8.constData(), first ? bold : nullptr);
      }
      if (rc != LXW_NO_ERROR) {
        out.reason = LibError("worksheet_write", rc);
        return out;
      }
    }
    first = false;
    ++row;
  }

  if (columns > 0) {
    rc = worksheet_autofilter(ws, 0, 0, row > 0 ? row - 1 : 0, lxw_col_t(columns - 1));
    if (rc != LXW_NO_ERROR) {
      out.reason = LibError("worksheet_autofilter", rc);
      return out;
    }
  }

  // workbook_close writes the file and frees the workbook whatever it returns.
  rc = workbook_close(wb.release());
  if (rc != LXW_NO_ERROR) {
    // A workbook cut off half-way (a full disk) would not open: better none at all.
    QFile::remove(xlsxPath);
    out.reason = QStringLiteral("файл %1 не записан: %2")
                     .arg(QDir::toNativeSeparators(xlsxPath), QString::fromUtf8(lxw_strerror(rc)));
    return out;
  }
  out.ok = true;
  out.rows = int(row);
  return out;
}

WorkbookOutcome ExportWorkbookAtomically(const QString& tabPath, const QString& xlsxPath, const SyncCall& sync) {
  const QString partPath = xlsxPath + QStringLiteral(".part");
  WorkbookOutcome outcome = ExportWorkbook(tabPath, partPath);
  if (outcome.ok) {
    // On the disk before it takes the old one's place; the old one (perhaps open in a
    // spreadsheet program) stays when it cannot be replaced.
    SysFile part;
    FileOutcome placed = part.Open(partPath, SysFile::Mode::kExisting);
    if (placed) placed = SyncFile(part, xlsxPath, sync);
    if (FileOutcome closed = part.Close(); !closed && placed) placed = closed;
    if (placed) placed = ReplaceFileDurably(partPath, xlsxPath);
    if (placed) return outcome;
    outcome.ok = false;
    outcome.reason = QStringLiteral("файл %1 не создан: %2").arg(QDir::toNativeSeparators(xlsxPath), placed.reason);
  }
  // A part left behind is replaced by the next export.
  static_cast<void>(RemoveFile(partPath));
  return outcome;
}
