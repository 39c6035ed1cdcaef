#include "text/textfile.h"

#include "text/atomicfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QStringDecoder>
#include <QStringEncoder>

#include <ctime>
#include <exception>

namespace {

bool StartsWith(const QByteArray& bytes, std::initializer_list<unsigned char> mark) {
  if (bytes.size() < qsizetype(mark.size())) return false;
  qsizetype i = 0;
  for (unsigned char b : mark)
    if (static_cast<unsigned char>(bytes[i++]) != b) return false;
  return true;
}

QByteArray JoinLines(const QStringList& lines, QByteArray (*encode)(const QString&)) {
  QString text;
  qsizetype size = 0;
  for (const QString& line : lines) size += line.size() + 2;
  text.reserve(size);
  for (const QString& line : lines) {
    text += line;
    text += QLatin1String("\r\n");
  }
  return encode(text);
}

}  // namespace

namespace {

// The whole decoded text, a NUL and what follows it included.
QString DecodeAllTextBytes(const QByteArray& bytes) {
  // The mark is cut off here; a second one right after it is text and stays. The whole file
  // is one piece: a multi-byte sequence cut off at its end becomes a replacement character
  // instead of vanishing as the start of input still to come.
  constexpr auto kFlags =
      QStringConverter::Flag::ConvertInitialBom | QStringConverter::Flag::Stateless;
  QString text;
  if (StartsWith(bytes, {0xEF, 0xBB, 0xBF}))
    text = QStringDecoder(QStringDecoder::Utf8, kFlags).decode(QByteArrayView(bytes).sliced(3));
  else if (StartsWith(bytes, {0xFF, 0xFE}))
    text = QStringDecoder(QStringDecoder::Utf16LE, kFlags).decode(QByteArrayView(bytes).sliced(2));
  else if (StartsWith(bytes, {0xFE, 0xFF}))
    text = QStringDecoder(QStringDecoder::Utf16BE, kFlags).decode(QByteArrayView(bytes).sliced(2));
  else
    text = DecodeAnsiBytes(bytes);
  return text;
}

}  // namespace

QString DecodeTextBytes(const QByteArray& bytes) {
  QString text = DecodeAllTextBytes(bytes);
  const qsizetype nul = text.indexOf(QChar(u'\0'));
  if (nul >= 0) text.truncate(nul);
  return text;
}

QStringList SplitTextLines(const QString& text) {
  QStringList lines;
  const qsizetype n = text.size();
  qsizetype start = 0;
  qsizetype i = 0;
  while (i < n) {
    const QChar c = text[i];
    if (c == u'\r' || c == u'\n') {
      lines.append(text.mid(start, i - start));
      if (c == u'\r' && i + 1 < n && text[i + 1] == u'\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < n) lines.append(text.mid(start));
  return lines;
}

namespace {

// The whole file, and its size when it was opened.
FileOutcome ReadWholeFile(const QString& path, QByteArray* bytes, qint64* sizeAtOpen) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return FileOutcome::Failed(file.errorString());
  *sizeAtOpen = file.size();
  *bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) return FileOutcome::Failed(file.errorString());
  return FileOutcome::Done();
}

}  // namespace

FileOutcome ReadFileBytes(const QString& path, QByteArray* bytes) {
  QByteArray all;
  qint64 size = 0;
  FileOutcome read = ReadWholeFile(path, &all, &size);
  if (read && bytes) *bytes = std::move(all);
  return read;
}

FileOutcome ReadTextLines(const QString& path, QStringList* lines) {
  QByteArray bytes;
  FileOutcome read = ReadFileBytes(path, &bytes);
  if (read && lines) *lines = SplitTextLines(DecodeTextBytes(bytes));
  return read;
}

FileOutcome ReadTextLinesReporting(const QString& path, QStringList* lines, TextReadLoss* loss,
                                   QByteArray* fileBytes) {
  TextReadLoss found;
  QByteArray bytes;
  qint64 expected = 0;
  if (FileOutcome read = ReadWholeFile(path, &bytes, &expected); !read) return read;
  if (expected > bytes.size()) found.missingBytes = qsizetype(expected - bytes.size());

  QString text = DecodeAllTextBytes(bytes);
  if (fileBytes)
    *fileBytes = std::move(bytes);
  else
    bytes.clear();
  const qsizetype nul = text.indexOf(QChar(u'\0'));
  if (nul >= 0) {
    found.droppedChars = text.size() - nul;
    // Lines of the dropped part: the one the NUL stands in, and every one after it.
    found.droppedLines = SplitTextLines(text.mid(nul)).size();
    text.truncate(nul);
  }
  if (lines) *lines = SplitTextLines(text);
  if (loss) *loss = found;
  return FileOutcome::Done();
}

QString TextLossMessage(const QString& path, const TextReadLoss& loss) {
  if (!loss.Any()) return {};
  QStringList parts;
  if (loss.droppedChars > 0)
    parts << QStringLiteral("текст обрезан символом NUL, отброшено символов: %1, строк: %2")
                 .arg(loss.droppedChars)
                 .arg(loss.droppedLines);
  if (loss.missingBytes > 0)
    parts << QStringLiteral("не прочитано байт: %1").arg(loss.missingBytes);
  return QStringLiteral("Файл %1 прочитан не целиком: %2")
      .arg(QDir::toNativeSeparators(path), parts.join(QStringLiteral("; ")));
}

// Not QSaveFile: it keeps a small file in its buffer and, on a full disk, still replaces the
// target with an empty file at commit.
FileOutcome WriteLinesAnsi(const QString& path, const QStringList& lines) {
  return WriteFileAtomically(path, JoinLines(lines, EncodeAnsi));
}

QByteArray Utf8FileBytes(const QStringList& lines) {
  // Line by line into one buffer: a queue of a million tasks is held once as bytes, not
  // also as one joined text and its copy.
  qsizetype size = 3;
  for (const QString& line : lines) size += line.size() + 2;
  QByteArray bytes;
  bytes.reserve(size);
  bytes += "\xEF\xBB\xBF";
  for (const QString& line : lines) {
    bytes += line.toUtf8();
    bytes += "\r\n";
  }
  return bytes;
}

FileOutcome WriteLinesUtf8(const QString& path, const QStringList& lines) {
  return WriteFileAtomically(path, Utf8FileBytes(lines));
}

namespace {

// The locale's long time format without its time-zone part: a log line shows the wall-clock
// time only, like every other time the program prints.
QString LongTimeFormatWithoutZone(const QLocale& locale) {
  const QString format = locale.timeFormat(QLocale::LongFormat);
  QString out;
  bool quoted = false;
  for (QChar c : format) {
    if (c == QLatin1Char('\'')) quoted = !quoted;
    if (!quoted && c == QLatin1Char('t')) continue;
    out += c;
  }
  return out.trimmed();
}

}  // namespace

QString LogTimeStamp(const QDateTime& moment) {
  const QLocale locale = QLocale::system();
  QString stamp = locale.toString(moment.date(), QLocale::ShortFormat);
  const QTime time = moment.time();
  if (time != QTime(0, 0)) {
    stamp += QLatin1Char(' ');
    stamp += locale.toString(time, LongTimeFormatWithoutZone(locale));
  }
  return stamp;
}

QString LogLine(const QString& message) {
  return LogTimeStamp() + QStringLiteral(": ") + message;
}

int32_t SignedTickCount() { return static_cast<int32_t>(TickCount()); }

QString CannotOpenFileMessage(const QString& path, const QString& reason) {
  // The multi-argument arg() substitutes in one pass, so a "%1" inside a path stays put.
  return QStringLiteral("Cannot open file \"%1\". %2").arg(QDir::toNativeSeparators(path), reason);
}

QString CannotCreateFileMessage(const QString& path, const QString& reason) {
  return QStringLiteral("Cannot create file \"%1\". %2").arg(QDir::toNativeSeparators(path), reason);
}

QString CurrentExceptionText(const QString& unknown) {
  try {
    throw;
  } catch (const std::exception& e) {
    // Our own exceptions carry UTF-8 (toStdString); the library's own are ASCII.
    return QString::fromUtf8(e.what());
  } catch (...) {
    return unknown;
  }
}

QString ExecutableDir() {
  QString dir;
  if (QCoreApplication::instance()) {
    dir = QCoreApplication::applicationDirPath();
  } else {
    const QString exe = ExecutableFilePath();
    if (!exe.isEmpty()) dir = QFileInfo(exe).absolutePath();
  }
  if (dir.isEmpty()) dir = QDir::currentPath();
  if (!dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
  return dir;
}
