#include "text/clean.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

struct Case {
  const char16_t* input;
  const char16_t* expected;
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
  return os << '"' << QString::fromUtf16(c.input).toStdString() << '"';
}

class DecodeHtmlEntitiesTest : public testing::TestWithParam<Case> {};

TEST_P(DecodeHtmlEntitiesTest, Decodes) {
  const Case& c = GetParam();
  EXPECT_EQ(DecodeHtmlEntities(QString::fromUtf16(c.input)), QString::fromUtf16(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    NamedAndPlain, DecodeHtmlEntitiesTest,
    testing::Values(Case{u"a&amp;b", u"a&b"}, Case{u"&lt;b&gt;", u"<b>"}, Case{u"x&", u"x"},
                    Case{u"&&amp;", u"&&amp;"}, Case{u"&copy;", u"&copy;"}, Case{u"&mdash;", u"&mdash;"},
                    Case{u"&laquo;Дом&raquo;", u"«Дом»"}, Case{u"a&nbsp;b", u"a b"},
                    Case{u"&quot;x&quot;", u"\"x\""}, Case{u"&amp", u"&amp"}, Case{u"&AMP;", u"&AMP;"},
                    Case{u"", u""}, Case{u"&", u""}, Case{u"без сущностей", u"без сущностей"}));

INSTANTIATE_TEST_SUITE_P(
    NumericReferences, DecodeHtmlEntitiesTest,
    testing::Values(Case{u"&#39;", u"'"}, Case{u"&#1072;", u"а"}, Case{u"&#x41;", u"A"}, Case{u"&#X4a;", u"J"},
                    Case{u"&#x430;", u"а"}, Case{u"&#128512;", u"\U0001F600"}, Case{u"&#x1F600;", u"\U0001F600"},
                    Case{u"&#0;", u"\uFFFD"}, Case{u"&#x0;", u"\uFFFD"}, Case{u"&#55296;", u"\uFFFD"},
                    Case{u"&#xDFFF;", u"\uFFFD"}, Case{u"&#1114111;", u"\U0010FFFF"},
                    Case{u"&#1114112;", u"\uFFFD"}, Case{u"&#99999999999999999999999999;", u"\uFFFD"},
                    Case{u"&#xFFFFFFFFFFFFFFFF41;", u"\uFFFD"},
                    // the ";" is taken only when it is there, and nothing else is eaten
                    Case{u"&#65abc", u"Aabc"}, Case{u"&#65", u"A"}, Case{u"&#65 b", u"A b"},
                    Case{u"&#65;;", u"A;"}, Case{u"&#x41g", u"Ag"},
                    // no digits: copied as they are
                    Case{u"&#;", u"&#;"}, Case{u"&#xZ", u"&#xZ"}, Case{u"&#x;", u"&#x;"}, Case{u"&#", u"&#"},
                    Case{u"&##65;", u"&##65;"}, Case{u"&#&amp;", u"&#&"}, Case{u"&#٣;", u"&#٣;"},
                    Case{u"a&#32;b&#x20;c", u"a b c"}));

TEST(DecodeHtmlEntities, StopsAtTheFirstNul) {
  const QString text = QStringLiteral("ab") + QChar(u'\0') + QStringLiteral("&amp;cd");
  EXPECT_EQ(DecodeHtmlEntities(text), QStringLiteral("ab"));
  // An "&" right before the NUL is the last character of what is decoded.
  EXPECT_EQ(DecodeHtmlEntities(QStringLiteral("x&") + QChar(u'\0') + QStringLiteral("amp;")), QStringLiteral("x"));
  // A decoded "&#0;" is not a NUL, so the pass goes on after it.
  EXPECT_EQ(DecodeHtmlEntities(QStringLiteral("&#0;z")), QStringLiteral("\uFFFDz"));
}

TEST(DecodeHtmlEntities, DecodesOnlyOnce) {
  EXPECT_EQ(DecodeHtmlEntities(QStringLiteral("&amp;lt;")), QStringLiteral("&lt;"));
  EXPECT_EQ(DecodeHtmlEntities(QStringLiteral("&amp;#65;")), QStringLiteral("&#65;"));
}

TEST(CleanField, TurnsTabIntoBlankAndDropsLineBreaks) {
  EXPECT_EQ(CleanField(QStringLiteral("a\tb\r\nc")), QStringLiteral("a bc"));
  EXPECT_EQ(CleanField(QStringLiteral("\t\t\n\r")), QStringLiteral("  "));
  EXPECT_EQ(CleanField(QStringLiteral("  ООО \"Дом\"  ")), QStringLiteral("  ООО \"Дом\"  "));
  const QString longValue(100000, QChar(u'я'));
  EXPECT_EQ(CleanField(longValue), longValue);
}

TEST(CleanField, EveryOtherControlCharacterBecomesABlank) {
  // A NUL would cut the workbook's cell and not the result file's field; VT, FF, ESC and DEL
  // have no place in a cell either. Characters just outside the range stay.
  const struct {
    QString in;
    QString out;
  } cases[] = {
      {QString(QChar(u'\0')) + QStringLiteral("a"), QStringLiteral(" a")},
      {QStringLiteral("a\u000Bb\u000Cc"), QStringLiteral("a b c")},
      {QStringLiteral("\u0001\u001F\u007F"), QStringLiteral("   ")},
      {QStringLiteral("x\u001B[1m\r\ny"), QStringLiteral("x [1my")},
      {QStringLiteral("\u0080\u00A0 ~"), QStringLiteral("\u0080\u00A0 ~")},
  };
  for (const auto& c : cases) EXPECT_EQ(CleanField(c.in), c.out) << c.in.toStdString();
}

TEST(ReplaceQuotes, TurnsDoubleQuotesIntoApostrophes) {
  EXPECT_EQ(ReplaceQuotes(QStringLiteral("ООО \"Управдом\"")), QStringLiteral("ООО 'Управдом'"));
  EXPECT_EQ(ReplaceQuotes(QStringLiteral("«Дом» 'x'")), QStringLiteral("«Дом» 'x'"));
  EXPECT_EQ(ReplaceQuotes(QString()), QString());
}

class HtmlToTextTest : public testing::TestWithParam<Case> {};

TEST_P(HtmlToTextTest, GivesPlainText) {
  const Case& c = GetParam();
  EXPECT_EQ(HtmlToText(QString::fromUtf16(c.input)), QString::fromUtf16(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HtmlToTextTest,
    testing::Values(Case{u"Иванов&nbsp;И.;", u"Иванов И.,"}, Case{u"<b>Иван</b>", u"Иван"},
                    Case{u"a < b", u"a "}, Case{u"x &lt;y&gt; z", u"x  z"}, Case{u"&amp;mdash;", u"-"},
                    // twice-encoded entities reach the replacement table
                    Case{u"&amp;nbsp;&amp;bull;&amp;times;&amp;quot;&amp;ndash;", u" -x\"-"},
                    Case{u"&amp;laquo;Дом&amp;raquo;", u"\"Дом\""}, Case{u"&amp;#039;", u"'"},
                    Case{u"&#039;", u"'"}, Case{u"&laquo;Дом&raquo;", u"«Дом»"},
                    // line breaks and tabs
                    Case{u"пн<br>вт\r\n\tср", u"пн вт ср"}, Case{u"пн<BR>вт", u"пнвт"},
                    // tags: unclosed tag runs to the end; ">" without "<" stays; nothing trimmed
                    Case{u"  a<p class=x>b</p>c  ", u"  abc  "}, Case{u"a > b", u"a > b"},
                    Case{u"<<a>b>c", u"b>c"}, Case{u"a;b;", u"a,b,"}, Case{u"", u""}));

}  // namespace
