// The worker's two text routines.

#include <gtest/gtest.h>

#include "portal/scrapingthread.h"

namespace {

TEST(StreamToString, TakesAtMostTheMaximumOneCharacterPerByte) {
  const QByteArray five = "abcde";
  const QByteArray empty;
  const struct {
    const QByteArray* stream;
    qsizetype max;
    QString expected;
  } cases[] = {
      {&five, 3, "abc"}, {&five, 0, "abcde"}, {&five, 10, "abcde"}, {&five, 5, "abcde"},
      {&five, -1, "abcde"}, {nullptr, 3, ""}, {&empty, 0, ""}, {&empty, 4, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(StreamToString(c.stream, c.max), c.expected) << c.max;

  // No decoding: UTF-8 bytes come out as one character each.
  const QByteArray cyrillic = "\xD0\x96";
  const QString raw = StreamToString(&cyrillic, 0);
  ASSERT_EQ(raw.size(), 2);
  EXPECT_EQ(raw[0].unicode(), 0xD0);
  EXPECT_EQ(raw[1].unicode(), 0x96);
}

TEST(TextBetween, Table) {
  const struct {
    QString text, start, middle, end, expected;
  } cases[] = {
      {"a=1;b=2;", "x", "", "", ""},          // no start marker
      {"a=1;b=2;", "", "", "", "a=1;b=2;"},   // empty start and end: everything
      {"a=1;b=2;", "=", "", ";", "1"},
      {"a=1;b=2;", "b", "=", ";", "2"},       // middle searched after start
      {"a=1;b=2;", "a", "=", ";", "1"},
      {"a=1;b=2;", "b", "x", ";", ""},        // middle missing
      {"a=1;b=2", "b=", "", ";", ""},          // end missing
      {"a=1;", "=", "", "1", ""},              // end right after the start marker
      {"abc", "c", "", "", ""},                // start marker at the very end
      {"==x=", "=", "=", "=", "x"},            // markers never overlap
      {"a;b", "", "", ";", "a"},
      {"https://h/orgByGuid?organizationGuid=3fa8-11", "organizationGuid=", "", "", "3fa8-11"},
      {"https://h/orgByGuid?guid=1", "organizationGuid=", "", "", ""},
      {"Ключ=значение;", "=", "", ";", "значение"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TextBetween(c.text, c.start, c.middle, c.end), c.expected)
        << c.text.toStdString() << " / " << c.start.toStdString() << " / " << c.middle.toStdString()
        << " / " << c.end.toStdString();
}

}  // namespace
