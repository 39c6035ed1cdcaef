#include "text/clean.h"

#include <array>
#include <string_view>

namespace {

struct NamedEntity {
  std::u16string_view form;  // text after the "&", closing ";" included
  char16_t character;
};

// Only these seven: the portal escapes nothing else by name in the values we keep.
constexpr std::array<NamedEntity, 7> kNamedEntities{{
    {u"amp;", u'&'},
    {u"lt;", u'<'},
    {u"gt;", u'>'},
    {u"laquo;", u'\u00AB'},
    {u"nbsp;", u' '},  // an ordinary blank on purpose: the result file is plain text
    {u"quot;", u'"'},
    {u"raquo;", u'\u00BB'},
}};

constexpr char32_t kReplacementCharacter = 0xFFFD;
constexpr char32_t kLastCodePoint = 0x10FFFF;

bool IsDecimalDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

int HexDigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

void AppendCodePoint(QString& out, char32_t cp) {
  if (cp == 0 || cp > kLastCodePoint || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacementCharacter;
  if (cp > 0xFFFF) {
    out.append(QChar(QChar::highSurrogate(cp)));
    out.append(QChar(QChar::lowSurrogate(cp)));
  } else {
    out.append(QChar(char16_t(cp)));
  }
}

// Reads the digits of a numeric reference starting at `pos` (the first digit), appends the
// character they name and returns the position after the reference. Any value past the last
// code point, however many digits follow, only marks the reference as invalid.
qsizetype DecodeNumber(const char16_t* s, qsizetype pos, qsizetype end, int base, QString& out) {
  char32_t value = 0;
  bool tooLarge = false;
  for (; pos < end; ++pos) {
    const int digit = base == 10 ? (IsDecimalDigit(s[pos]) ? s[pos] - u'0' : -1) : HexDigitValue(s[pos]);
    if (digit < 0) break;
    if (!tooLarge) {
      value = value * base + digit;
      if (value > kLastCodePoint) tooLarge = true;
    }
  }
  AppendCodePoint(out, tooLarge ? kReplacementCharacter : value);
  if (pos < end && s[pos] == u';') ++pos;
  return pos;
}

}  // namespace

QString DecodeHtmlEntities(const QString& text) {
  const char16_t* s = reinterpret_cast<const char16_t*>(text.constData());
  qsizetype end = text.indexOf(QChar(u'\0'));
  if (end < 0) end = text.size();

  QString out;
  out.reserve(end);
  qsizetype i = 0;
  while (i < end) {
    const char16_t c = s[i];
    if (c != u'&') {
      out.append(QChar(c));
      ++i;
      continue;
    }
    if (i + 1 >= end) break;  // a lone "&" at the very end is dropped

    const std::u16string_view rest(s + i + 1, size_t(end - i - 1));
    bool named = false;
    for (const NamedEntity& entity : kNamedEntities) {
      if (rest.starts_with(entity.form)) {
        out.append(QChar(entity.character));
        i += 1 + qsizetype(entity.form.size());
        named = true;
        break;
      }
    }
    if (named) continue;

    if (rest[0] == u'#') {
      if (rest.size() >= 2 && IsDecimalDigit(rest[1])) {
        i = DecodeNumber(s, i + 2, end, 10, out);
        continue;
      }
      if (rest.size() >= 3 && (rest[1] == u'x' || rest[1] == u'X') && HexDigitValue(rest[2]) >= 0) {
        i = DecodeNumber(s, i + 3, end, 16, out);
        continue;
      }
    }

    // Not an entity we know: keep the "&" and the character after it as they are.
    out.append(QChar(c));
    out.append(QChar(rest[0]));
    i += 2;
  }
  return out;
}

QString CleanField(const QString& text) {
  // Most values hold no control character at all: they are handed back without a copy, which
  // matters for a field of tens of megabytes.
  qsizetype first = 0;
  while (first < text.size() && !IsControlCharacter(text[first].unicode())) ++first;
  if (first == text.size()) return text;

  QString out;
  out.reserve(text.size());
  out.append(QStringView(text).left(first));
  for (qsizetype i = first; i < text.size(); ++i) {
    const char16_t u = text[i].unicode();
    if (u == u'\r' || u == u'\n') continue;
    // Any other control character (NUL, VT, FF, ...) would cut or split the value in one of
    // the two result files and not in the other: a blank in both.
    out.append(IsControlCharacter(u) ? QChar(u' ') : QChar(u));
  }
  return out;
}

QString ReplaceQuotes(const QString& text) {
  QString out = text;
  out.replace(QChar(u'"'), QChar(u'\''));
  return out;
}

QString HtmlToText(const QString& text) {
  QString out = DecodeHtmlEntities(text);

  // The order matters: ";" must go after the entities that end in it, and "<br>" must
  // become a blank before tag removal would swallow it without one.
  static const std::array<std::pair<QStringView, QStringView>, 16> kReplacements{{
      {u"&nbsp;", u" "},
      {u"&bull;", u"-"},
      {u"&times;", u"x"},
      {u"&quot;", u"\""},
      {u"&mdash;", u"-"},
      {u"&ndash;", u"-"},
      {u"&laquo;", u"\""},
      {u"&raquo;", u"\""},
      {u"&lt;", u"<"},
      {u"&gt;", u">"},
      {u"&#039;", u"'"},
      {u";", u","},
      {u"<br>", u" "},
      {u"\r", u""},
      {u"\n", u""},
      {u"\t", u" "},
  }};
  for (const auto& [from, to] : kReplacements) out.replace(from.toString(), to.toString(), Qt::CaseSensitive);

  // Tags: from each "<" through the next ">", or to the end when no ">" follows. Text before
  // a removed tag holds no "<", so one left-to-right pass removes what repeated searches would.
  QString plain;
  plain.reserve(out.size());
  qsizetype i = 0;
  while (i < out.size()) {
    if (out[i] == u'<') {
      const qsizetype close = out.indexOf(QChar(u'>'), i);
      if (close < 0) break;
      i = close + 1;
      continue;
    }
    plain.append(out[i]);
    ++i;
  }
  return plain;
}
