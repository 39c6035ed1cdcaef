#pragma once
// Files of a test folder, read and written whole.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#include "text/textfile.h"

inline const QByteArray kUtf8Mark("\xEF\xBB\xBF");

// The file's bytes; empty when it cannot be read.
inline QByteArray FileBytes(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

// The file's lines as the program reads them.
inline QStringList FileLines(const QString& path) {
  QStringList lines;
  if (!ReadTextLines(path, &lines)) return {};
  return lines;
}

// The bytes of a UTF-8 working file as the job writes it ("lists.dat", "context.dat"): the
// mark EF BB BF, every line ended by CR LF.
inline QByteArray Utf8FileBytes(const QStringList& lines) {
  QByteArray bytes = kUtf8Mark;
  for (const QString& line : lines) bytes += line.toUtf8() + "\r\n";
  return bytes;
}

// Creates or replaces the file with the bytes; false when it cannot.
inline bool WriteFileBytes(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}
