#include "tests/support/zipread.h"

#include <zlib.h>

#include <QFile>
#include <cstring>

namespace {

quint32 U32(const QByteArray& b, qsizetype at) {
  const auto* p = reinterpret_cast<const uchar*>(b.constData() + at);
  return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}
quint16 U16(const QByteArray& b, qsizetype at) {
  const auto* p = reinterpret_cast<const uchar*>(b.constData() + at);
  return quint16(p[0] | p[1] << 8);
}

}  // namespace

bool ReadZipMember(const QString& archive, const QString& member, QByteArray* bytes, QString* error) {
  auto fail = [&](const QString& why) {
    if (error) *error = why;
    return false;
  };
  QFile f(archive);
  if (!f.open(QIODevice::ReadOnly)) return fail(f.errorString());
  const QByteArray zip = f.readAll();
  // The end-of-central-directory record, searched from the end (a comment may follow it).
  qsizetype end = zip.size() - 22;
  while (end >= 0 && U32(zip, end) != 0x06054b50) --end;
  if (end < 0) return fail(QStringLiteral("no zip archive"));
  const quint16 entries = U16(zip, end + 10);
  qsizetype at = U32(zip, end + 16);
  const QByteArray wanted = member.toUtf8();
  for (int i = 0; i < entries; ++i) {
    if (at + 46 > zip.size() || U32(zip, at) != 0x02014b50) return fail(QStringLiteral("bad central directory"));
    const quint16 method = U16(zip, at + 10);
    const quint32 packed = U32(zip, at + 20), size = U32(zip, at + 24);
    const quint16 nameLen = U16(zip, at + 28), extraLen = U16(zip, at + 30), commentLen = U16(zip, at + 32);
    const quint32 local = U32(zip, at + 42);
    if (zip.mid(at + 46, nameLen) == wanted) {
      const qsizetype data = local + 30 + U16(zip, local + 26) + U16(zip, local + 28);
      const QByteArray raw = zip.mid(data, packed);
      if (method == 0) {
        *bytes = raw;
        return true;
      }
      if (method != 8) return fail(QStringLiteral("unknown compression method %1").arg(method));
      bytes->resize(size);
      z_stream z;
      std::memset(&z, 0, sizeof z);
      if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return fail(QStringLiteral("inflateInit2"));
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.constData()));
      z.avail_in = uInt(raw.size());
      z.next_out = reinterpret_cast<Bytef*>(bytes->data());
      z.avail_out = uInt(size);
      const int rc = inflate(&z, Z_FINISH);
      inflateEnd(&z);
      if (rc != Z_STREAM_END || z.total_out != size) return fail(QStringLiteral("inflate failed"));
      return true;
    }
    at += 46 + nameLen + extraLen + commentLen;
  }
  return fail(QStringLiteral("no member ") + member);
}
