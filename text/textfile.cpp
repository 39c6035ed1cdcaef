#include "text/textfile.h"

#include "platform/atomicfile.h"

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

// The lines of a decoded text up to its first NUL, which ends it; what the NUL cut off is
// counted into *loss.
QStringList LinesBeforeNul(QString text, TextReadLoss* loss) {
  const qsizetype nul = text.indexOf(QChar(u'\0'));
  if (nul >= 0) {
    loss->droppedChars = text.size() - nul;
    // Lines of the dropped part: the one the NUL stands in, and every one after it.
    loss->droppedLines = SplitTextLines(text.mid(nul)).size();
    text.truncate(nul);
  }
  return SplitTextLines(text);
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
  if (!file.open(QIODevice::ReadOnly)) return FileOutcome::Failed(ReadFailureReason(path));
  *sizeAtOpen = file.size();
  *bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) return FileOutcome::Failed(ReadFailureReason(path));
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
  QStringList read = LinesBeforeNul(std::move(text), &found);
  if (lines) *lines = std::move(read);
  if (loss) *loss = found;
  return FileOutcome::Done();
}

namespace {

// Reads a file a chunk at a time and hands over its lines, for files in UTF-8 or the ANSI
// code page: there a CR, an LF or a NUL byte is always that character, never part of a
// longer one, so the bytes can be cut into lines before they are decoded.
class ByteLineSplitter {
 public:
  ByteLineSplitter(bool utf8, const std::function<void(const QString&)>& take, TextReadLoss& loss)
      : utf8_(utf8), take_(take), loss_(loss) {}

  void Feed(const QByteArray& chunk) {
    pending_.append(chunk);
    Split(false);
  }
  void Finish() { Split(true); }

 private:
  QString Decode(QByteArrayView bytes) const {
    if (!utf8_) return DecodeAnsiBytes(bytes);
    // As the whole text would be decoded: a mark at the start of a line is a character.
    constexpr auto kFlags = QStringConverter::Flag::ConvertInitialBom | QStringConverter::Flag::Stateless;
    return QStringDecoder(QStringDecoder::Utf8, kFlags).decode(bytes);
  }

  // One line's bytes and the length of the break that ended it (0: the file's end).
  void Line(QByteArrayView bytes, int breakLength) {
    if (ended_) {
      // After a NUL: only counted, as lines and characters left out.
      loss_.droppedChars += Decode(bytes).size() + breakLength;
      if (breakLength > 0 || !bytes.isEmpty()) ++loss_.droppedLines;
      return;
    }
    const qsizetype nul = bytes.indexOf('\0');
    if (nul < 0) {
      if (breakLength > 0 || !bytes.isEmpty()) take_(Decode(bytes));
      return;
    }
    ended_ = true;
    if (nul > 0) take_(Decode(bytes.first(nul)));
    loss_.droppedChars += Decode(bytes.sliced(nul)).size() + breakLength;
    ++loss_.droppedLines;
  }

  void Split(bool atEnd) {
    qsizetype start = 0;
    const qsizetype n = pending_.size();
    for (qsizetype i = 0; i < n; ++i) {
      const char c = pending_[i];
      if (c != '\r' && c != '\n') continue;
      int breakLength = 1;
      if (c == '\r') {
        // A CR at the end of what was read may be the first half of a CR LF.
        if (i + 1 == n && !atEnd) break;
        if (i + 1 < n && pending_[i + 1] == '\n') breakLength = 2;
      }
      Line(QByteArrayView(pending_).sliced(start, i - start), breakLength);
      i += breakLength - 1;
      start = i + 1;
    }
    if (atEnd) {
      if (start < n) Line(QByteArrayView(pending_).sliced(start), 0);
      pending_.clear();
    } else {
      pending_.remove(0, start);
    }
  }

  const bool utf8_;
  const std::function<void(const QString&)>& take_;
  TextReadLoss& loss_;
  QByteArray pending_;
  bool ended_ = false;
};

}  // namespace

FileOutcome ReadTextLinesEach(const QString& path, const std::function<void(const QString& line)>& take,
                              TextReadLoss* loss, qsizetype chunkBytes) {
  TextReadLoss found;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return FileOutcome::Failed(ReadFailureReason(path));
  const qint64 expected = file.size();
  qint64 got = 0;
  const auto readChunk = [&](qint64 size, QByteArray* chunk) {
    *chunk = file.read(std::max<qint64>(size, 1));
    got += chunk->size();
    return file.error() == QFileDevice::NoError;
  };
  QByteArray chunk;
  // The first bytes tell the encoding.
  if (!readChunk(std::max<qsizetype>(chunkBytes, 3), &chunk)) return FileOutcome::Failed(ReadFailureReason(path));
  if (StartsWith(chunk, {0xFF, 0xFE}) || StartsWith(chunk, {0xFE, 0xFF})) {
    // UTF-16, which no file of the program is written in: read whole, as before.
    QByteArray rest = file.readAll();
    if (file.error() != QFileDevice::NoError) return FileOutcome::Failed(ReadFailureReason(path));
    got += rest.size();
    chunk.append(rest);
    QString text = DecodeAllTextBytes(chunk);
    chunk.clear();
    for (const QString& line : LinesBeforeNul(std::move(text), &found)) take(line);
  } else {
    const bool utf8 = StartsWith(chunk, {0xEF, 0xBB, 0xBF});
    if (utf8) chunk.remove(0, 3);
    ByteLineSplitter splitter(utf8, take, found);
    // Until a read gives nothing (the first chunk may have been the mark alone).
    do {
      splitter.Feed(chunk);
      if (!readChunk(chunkBytes, &chunk)) return FileOutcome::Failed(ReadFailureReason(path));
    } while (!chunk.isEmpty());
    splitter.Finish();
  }
  if (expected > got) found.missingBytes = qsizetype(expected - got);
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
