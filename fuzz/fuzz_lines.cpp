// The line reader of text files (byte-order marks, code page, line ends, NUL) with any bytes.
#include "fuzz_support.h"
#include "text/textfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
  const QString text = DecodeTextBytes(bytes);
  FUZZ_CHECK(!text.contains(QChar(u'\0')));
  const QStringList lines = SplitTextLines(text);
  FUZZ_CHECK(lines.size() <= text.size());
  qsizetype total = 0;
  for (const QString& line : lines) {
    FUZZ_CHECK(!line.contains(u'\r') && !line.contains(u'\n'));
    total += line.size();
  }
  FUZZ_CHECK(total <= text.size());
  // A line that is a safe task survives being written and read back as a working file line.
  for (const QString& line : lines) {
    if (!IsSafeTaskLine(line) || !line.isValidUtf16()) continue;
    const QStringList back = SplitTextLines(DecodeTextBytes(QByteArray("\xEF\xBB\xBF") + line.toUtf8() + "\r\n"));
    FUZZ_CHECK(back.size() == 1 && back.first() == line);
  }
  return 0;
}
