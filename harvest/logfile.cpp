#include "harvest/logfile.h"

#include <QDir>
#include <QStringList>

#include "platform/atomicfile.h"
#include "platform/platform.h"
#include "text/textfile.h"

FileOutcome WriteLogFile(JobView& view, const QString& path, const QString& closing) {
  // Block by block from the view, in the ANSI code page, each line ended by CR LF: a
  // country's log is never held a second time as a whole.
  constexpr qsizetype kBlock = 4096;
  AtomicFile file(path);
  FileOutcome ok = file.Open();
  for (qsizetype first = 0; ok; first += kBlock) {
    const QStringList block = view.LogLinesFrom(first, kBlock);
    for (const QString& line : block)
      if (ok) ok = file.Write(EncodeAnsi(line + QLatin1String("\r\n")));
    if (block.size() < kBlock) break;
  }
  if (ok) ok = file.Write(EncodeAnsi(closing + QLatin1String("\r\n")));
  return ok ? file.Commit() : ok;
}

QString LogFile::Write(JobView& view) const {
  const QString path = dir_ + QStringLiteral("log-%1.txt").arg(SignedTickCount());
  // The file ends with its closing line; the view shows that line only once the file holds it.
  const QString closing =
      LogLine(QStringLiteral("Работа завершена, лог записан в ") + QDir::toNativeSeparators(path));
  const FileOutcome written = WriteLogFile(view, path, closing);
  if (written) return closing;
  return LogLine(QStringLiteral("Работа завершена. Ошибка: лог не записан: ") +
                 CannotCreateFileMessage(path, written.reason));
}
