// The entity decoder and the cleaners with any text.
#include "fuzz_support.h"
#include "text/clean.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QString text = AnswerText(data, size);
  const QString decoded = DecodeHtmlEntities(text);
  FUZZ_CHECK(decoded.size() <= text.size());
  FUZZ_CHECK(!decoded.contains(QChar(u'\0')));
  const QString plain = HtmlToText(text);
  FUZZ_CHECK(!plain.contains(u'<'));
  FUZZ_CHECK(!plain.contains(u'\r') && !plain.contains(u'\n') && !plain.contains(u'\t'));
  const QString clean = CleanField(text);
  FUZZ_CHECK(clean.size() <= text.size());
  for (QChar c : clean) FUZZ_CHECK(c.unicode() >= 0x20 && c.unicode() != 0x7F);
  FUZZ_CHECK(!ReplaceQuotes(text).contains(u'"'));
  return 0;
}
