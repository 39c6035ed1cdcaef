#pragma once
// One member of a zip archive (a workbook), read back with zlib: the tests check what the
// workbook holds on every system, without an unzip program.

#include <QByteArray>
#include <QString>

// The member's bytes; false with the reason when the archive or the member cannot be read.
bool ReadZipMember(const QString& archive, const QString& member, QByteArray* bytes, QString* error);
