#pragma once
// Text files as lists of lines, in the two encodings the program writes, and the
// bits every log line and file name share (time stamp, tick count, error texts).

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

#include "platform/fileoutcome.h"
#include "platform/platform.h"

// Bytes of a text file to text: a byte-order mark (UTF-8, UTF-16 LE, UTF-16 BE) tells the
// encoding and is dropped; without one the bytes are in the ANSI code page (DecodeAnsiBytes). A NUL ends the text.
QString DecodeTextBytes(const QByteArray& bytes);

// Text to lines: lines end at CR LF, LF or CR; a final line break adds no line; an empty
// line inside is an empty entry. An empty text gives no lines.
QStringList SplitTextLines(const QString& text);

// Reads a whole file; on failure with the system's reason.
FileOutcome ReadFileBytes(const QString& path, QByteArray* bytes);

// Reads a file as a list of lines (ReadFileBytes + DecodeTextBytes + SplitTextLines).
FileOutcome ReadTextLines(const QString& path, QStringList* lines);

// What a read of a text file left out: the text after a NUL (which ends the text), and bytes
// that the file was said to hold but that did not come.
struct TextReadLoss {
  qsizetype droppedChars = 0;  // characters after the first NUL, the NUL included
  qsizetype droppedLines = 0;  // lines that those characters held (a partial one counts)
  qsizetype missingBytes = 0;  // file size at opening minus the bytes read
  bool Any() const { return droppedChars > 0 || missingBytes > 0; }
};

// ReadTextLines that also says what it left out, so that a caller can report a working file
// cut short instead of silently working with less.
// *fileBytes, when given, gets the file's bytes as read.
FileOutcome ReadTextLinesReporting(const QString& path, QStringList* lines, TextReadLoss* loss,
                                   QByteArray* fileBytes = nullptr);

// ReadTextLinesReporting without the list: each line goes to `take` as soon as it is read, so
// a large file is never held whole, neither as bytes nor as text. The same lines and the same
// loss. `chunkBytes`: how much is read at a time.
FileOutcome ReadTextLinesEach(const QString& path, const std::function<void(const QString& line)>& take,
                              TextReadLoss* loss, qsizetype chunkBytes = 1 << 20);

// One log text naming the file and what was left out of it: "Файл <path> прочитан не
// целиком: ...". Empty when nothing was lost.
QString TextLossMessage(const QString& path, const TextReadLoss& loss);

// Writes lines in the ANSI code page (EncodeAnsi) without a mark, every line ended by CR LF; no lines give a
// zero-byte file. Written to a temporary file beside it and renamed over the target once it
// is on the disk (AtomicFile), so a failure or a kill never leaves a truncated file. On
// failure the old file is as it was.
FileOutcome WriteLinesAnsi(const QString& path, const QStringList& lines);


// The time stamp every log line begins with: the short date, a blank and the long time in
// the user's locale; at exactly midnight only the date.
QString LogTimeStamp(const QDateTime& moment = QDateTime::currentDateTime());
// A complete log line: the time stamp of now, ": " and the message.
QString LogLine(const QString& message);

// TickCount() (text/platform.h) read as a signed 32-bit number ("data%d.tab", "log-%d.txt").
int32_t SignedTickCount();

// "Cannot open file "<path>". <reason>" and "Cannot create file "<path>". <reason>".
QString CannotOpenFileMessage(const QString& path, const QString& reason);
QString CannotCreateFileMessage(const QString& path, const QString& reason);

// The message of the exception being handled: its what(), or `unknown` for an exception of
// another type. Call only inside a catch block.
QString CurrentExceptionText(const QString& unknown);

// Folder of the executable, ending in '/'.
QString ExecutableDir();
