// The JSON answer reader and the run's lookup lists.

#include <gtest/gtest.h>

#include <QHash>

#include <optional>

#include <limits>

#include "harvest/answer.h"
#include "harvest/rundata.h"

namespace {

struct ReadCase {
  const char* json;  // an object with the member "v" (or without it)
  const char* text;
  int64_t integer;
  bool present;
};

TEST(AnswerReader, ReadsMembersByTheReadingRules) {
  const ReadCase cases[] = {
      {R"({})", "", 0, false},
      {R"({"v":null})", "null", 0, true},
      {R"({"v":"abc"})", "abc", 0, true},
      {R"({"v":"Дом \"1\""})", "Дом \"1\"", 0, true},
      {R"({"v":""})", "", 0, true},
      {R"({"v":1990})", "1990", 1990, true},
      {R"({"v":-17})", "-17", -17, true},
      {R"({"v":12.5})", "12.5", 13, true},
      {R"({"v":-2.5})", "-2.5", -3, true},
      {R"({"v":2.4})", "2.4", 2, true},
      {R"({"v":true})", "true", 1, true},
      {R"({"v":false})", "false", 0, true},
      {R"({"v":"42"})", "42", 42, true},
      {R"({"v":"-7"})", "-7", -7, true},
      {R"({"v":"4x"})", "4x", 0, true},
      {R"({"v":"1e3"})", "1e3", 0, true},
      {R"({"v":{"a":[1, "b" , null]}})", R"({"a":[1,"b",null]})", 0, true},
      {R"({"v":[ ]})", "[]", 0, true},
      // Every digit of a long integer is kept, in the text and in the integer.
      {R"({"v":9007199254740993})", "9007199254740993", 9007199254740993LL, true},
      {R"({"v":"9007199254740993"})", "9007199254740993", 9007199254740993LL, true},
      {R"({"v":18446744073709551615})", "18446744073709551615",
       std::numeric_limits<int64_t>::max(), true},
      {R"({"v":-9223372036854775808})", "-9223372036854775808",
       std::numeric_limits<int64_t>::min(), true},
      {R"({"v":1e300})", "1e+300", std::numeric_limits<int64_t>::max(), true},
      // Numbers the parser cannot store keep their literal (and clamp as integers).
      {R"({"v":123456789012345678901234567890})", "123456789012345678901234567890",
       std::numeric_limits<int64_t>::max(), true},
      {R"({"v":-99999999999999999999})", "-99999999999999999999",
       std::numeric_limits<int64_t>::min(), true},
      {R"({"v":18446744073709551616})", "18446744073709551616",
       std::numeric_limits<int64_t>::max(), true},
      {R"({"v":"99999999999999999999"})", "99999999999999999999",
       std::numeric_limits<int64_t>::max(), true},
      {R"({"v":1e400})", "1e400", 0, true},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.json);
    const JsonAnswer answer{QByteArray(c.json)};
    ASSERT_TRUE(answer.Ok());
    const JsonValue v = answer.Root().Member("v");
    EXPECT_EQ(v.Text(), QString::fromUtf8(c.text));
    EXPECT_EQ(v.Integer(), c.integer);
    EXPECT_EQ(v.Present(), c.present);
  }
}

TEST(AnswerReader, CountOnlyFromNumbersAndNumberTexts) {
  const JsonAnswer answer(QByteArray(
      R"({"i":12,"neg":-3,"real":2.6,"text":"1500","blank":" 7 ","huge":99999999999999999999999,)"
      R"("word":"много","bool":true,"null":null,"obj":{},"arr":[1],"empty":""})"));
  ASSERT_TRUE(answer.Ok());
  const JsonValue root = answer.Root();
  const struct {
    const char* member;
    std::optional<int64_t> count;
  } cases[] = {
      {"i", 12},         {"neg", -3},  {"real", 3},  {"text", 1500}, {"blank", 7},
      {"huge", std::numeric_limits<int64_t>::max()},
      {"word", std::nullopt}, {"bool", std::nullopt}, {"null", std::nullopt}, {"obj", std::nullopt},
      {"arr", std::nullopt},  {"empty", std::nullopt}, {"missing", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(root.Member(c.member).Count(), c.count) << c.member;
}

TEST(AnswerReader, AnswerOfTooManyValuesIsNotParsed) {
  // Commas inside strings are no values: a huge text field still parses.
  QString text = QStringLiteral("{\"s\":\"") + QString(kMaxJsonValues + 10, u',') + QStringLiteral("\\\"\"}");
  const JsonAnswer field(text.toUtf8());
  EXPECT_TRUE(field.Ok());
  EXPECT_FALSE(field.TooManyValues());
  EXPECT_EQ(field.Root().Member("s").Text().size(), kMaxJsonValues + 11);

  QByteArray dense = "[";
  for (qsizetype i = 1; i < kMaxJsonValues; ++i) dense += "1,";
  dense += "1]";
  const JsonAnswer atLimit(dense);  // the bracket and the commas: as many marks as allowed
  EXPECT_TRUE(atLimit.Ok());
  EXPECT_EQ(atLimit.Root().Size(), size_t(kMaxJsonValues));
  dense.insert(1, "1,");
  const JsonAnswer over(dense);
  EXPECT_FALSE(over.Ok());
  EXPECT_TRUE(over.TooManyValues());
  EXPECT_FALSE(over.Root().Present());
}

TEST(AnswerReader, TextThatDoesNotParseGivesNoObject) {
  for (const char* text : {"", "   ", "{", "not json", "{\"a\":}", "{\"a\":1} x", "{'a':1}"}) {
    SCOPED_TRACE(text);
    const JsonAnswer answer{QByteArray(text)};
    EXPECT_FALSE(answer.Ok());
    EXPECT_FALSE(answer.Root().Present());
    EXPECT_EQ(answer.Root().Member("a").Text(), QString());
    EXPECT_TRUE(answer.Root().Items().empty());
  }
}

TEST(AnswerReader, OneOverlongNumberDoesNotLoseTheAnswer) {
  const JsonAnswer answer(QByteArray(
      R"({"account":40702810900000000001234,"list":[1,-1E999,2],)"
      R"("s":"99999999999999999999999 \" 1e999","v":"ok"})"));
  ASSERT_TRUE(answer.Ok());
  const JsonValue root = answer.Root();
  EXPECT_EQ(root.Member("v").Text(), QStringLiteral("ok"));
  EXPECT_EQ(root.Member("account").Text(), QStringLiteral("40702810900000000001234"));
  EXPECT_EQ(root.Member("list").Size(), 3u);
  EXPECT_EQ(root.Member("list").At(1).Text(), QStringLiteral("-1E999"));
  EXPECT_EQ(root.Member("list").At(2).Integer(), 2);
  // Strings are left as they are, quotes and all.
  EXPECT_EQ(root.Member("s").Text(), QStringLiteral("99999999999999999999999 \" 1e999"));

  // Malformed numbers stay malformed.
  for (const char* text : {R"({"v":01})", R"({"v":1.})", R"({"v":-})", R"({"v":1e})",
                           R"({"v":99999999999999999999999)", R"({"v":+1})", R"({"v":0x10})",
                           R"({"v":99999999999999999999999,})"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(JsonAnswer(QByteArray(text)).Ok());
  }
}

TEST(AnswerReader, MemberOfANonObjectIsMissing) {
  const JsonAnswer answer(QByteArray(R"({"s":"x","n":null,"a":[{"k":1}],"o":{"k":2}})"));
  const JsonValue root = answer.Root();
  for (const char* name : {"s", "n", "a", "missing"}) {
    SCOPED_TRACE(name);
    const JsonValue k = root.Member(name).Member("k");
    EXPECT_FALSE(k.Present());
    EXPECT_EQ(k.Text(), QString());
    EXPECT_EQ(k.Integer(), 0);
  }
  EXPECT_EQ(root.Member("o").Member("k").Integer(), 2);
}

TEST(AnswerReader, ArrayViewOnlyForArrays) {
  const JsonAnswer answer(QByteArray(R"({"a":[10,"x",null],"o":{"0":1},"s":"abc","n":null})"));
  const JsonValue a = answer.Root().Member("a");
  ASSERT_TRUE(a.IsArray());
  EXPECT_EQ(a.Size(), 3u);
  EXPECT_EQ(a.At(0).Integer(), 10);
  EXPECT_EQ(a.At(1).Text(), QStringLiteral("x"));
  EXPECT_TRUE(a.At(2).IsNull());
  EXPECT_FALSE(a.At(3).Present());
  const std::vector<JsonValue> items = a.Items();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[1].Text(), QStringLiteral("x"));
  for (const char* name : {"o", "s", "n", "missing"}) {
    SCOPED_TRACE(name);
    const JsonValue v = answer.Root().Member(name);
    EXPECT_FALSE(v.IsArray());
    EXPECT_EQ(v.Size(), 0u);
    EXPECT_TRUE(v.Items().empty());
    EXPECT_FALSE(v.At(0).Present());
  }
}

TEST(AnswerReader, TopLevelScalarsAndArraysParse) {
  const JsonAnswer number(QByteArray("42"));
  ASSERT_TRUE(number.Ok());
  EXPECT_EQ(number.Root().Integer(), 42);
  EXPECT_FALSE(number.Root().Member("total").Present());
  const JsonAnswer array(QByteArray("[1,2]"));
  ASSERT_TRUE(array.Ok());
  EXPECT_EQ(array.Root().Size(), 2u);
}

TEST(WholeNumber, ParsesSignAndDigitsOnly) {
  struct Case {
    const char* text;
    bool ok;
    int64_t value;
  } cases[] = {
      {"0", true, 0},         {"42", true, 42},       {"-42", true, -42},     {"+7", true, 7},
      {" 7 ", true, 7},       {"42\n", true, 42},     {"\r\n5\r\n", true, 5}, {"", false, 0},
      {"-", false, 0},        {"abc", false, 0},      {"4 2", false, 0},      {"4.0", false, 0},
      {"0x10", false, 0},     {"٣", false, 0},
      {"9223372036854775807", true, std::numeric_limits<int64_t>::max()},
      {"-9223372036854775808", true, std::numeric_limits<int64_t>::min()},
      {"9223372036854775808", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    bool ok = !c.ok;
    EXPECT_EQ(ParseWholeNumber(QString::fromUtf8(c.text), &ok), c.value);
    EXPECT_EQ(ok, c.ok);
  }
}

// Many keys, so the index grows many times: every key still finds its first line, in any
// case, duplicates added after growth included, and absent keys find nothing.
TEST(KeyValueList, IndexHoldsThroughGrowth) {
  KeyValueList list;
  QHash<QString, QString> first;  // folded key -> first value
  for (int i = 0; i < 20000; ++i) {
    const QString key = (i % 3 ? QStringLiteral("GUID-%1") : QStringLiteral("Организация-%1")).arg(i % 7000);
    const QString value = QStringLiteral("значение %1").arg(i);
    list.Append(i % 2 ? key.toUpper() : key, value);
    if (!first.contains(key.toCaseFolded())) first.insert(key.toCaseFolded(), value);
  }
  EXPECT_EQ(list.Count(), 20000);
  for (auto it = first.cbegin(); it != first.cend(); ++it) {
    ASSERT_EQ(list.Lookup(it.key().toUpper()), it.value()) << it.key().toStdString();
    ASSERT_TRUE(list.Contains(it.key()));
  }
  EXPECT_FALSE(list.Contains(QStringLiteral("GUID-7000")));
  EXPECT_EQ(list.ValueAt(19999), QStringLiteral("значение 19999"));
}

TEST(KeyValueList, FirstLineWinsIgnoringCase) {
  KeyValueList list;
  list.Append(QStringLiteral("abc-DEF"), QStringLiteral("first"));
  list.Append(QStringLiteral("ABC-def"), QStringLiteral("second"));
  list.Append(QStringLiteral("Ключ"), QStringLiteral("кириллица"));
  list.Append(QString(), QStringLiteral("empty key"));
  // Kept as UTF-8: characters outside the BMP and TABs come back as they went in.
  list.Append(QStringLiteral("ДОМ-\U0001F3E0"), QStringLiteral("a\tб\t\U0001F3E0\t"));
  EXPECT_EQ(list.Count(), 5);
  EXPECT_EQ(list.Lookup(QStringLiteral("дом-\U0001F3E0")), QStringLiteral("a\tб\t\U0001F3E0\t"));
  EXPECT_EQ(list.FindUtf8(QStringLiteral("дом-\U0001F3E0")), QStringLiteral("a\tб\t\U0001F3E0\t").toUtf8());
  EXPECT_EQ(list.FindUtf8(QStringLiteral("nope")), std::nullopt);
  EXPECT_EQ(list.FindUtf8(QString()), QByteArrayView("empty key"));
  EXPECT_EQ(list.KeyAt(4), QStringLiteral("ДОМ-\U0001F3E0"));
  EXPECT_EQ(list.Lookup(QStringLiteral("ABC-DEF")), QStringLiteral("first"));
  EXPECT_EQ(list.Lookup(QStringLiteral("ключ")), QStringLiteral("кириллица"));
  EXPECT_EQ(list.Lookup(QString()), QStringLiteral("empty key"));
  EXPECT_EQ(list.Lookup(QStringLiteral("nope")), QString());
  EXPECT_TRUE(list.Contains(QStringLiteral("abc-def")));
  EXPECT_FALSE(list.Contains(QStringLiteral("nope")));
  // Duplicates stay, in insertion order.
  EXPECT_EQ(list.ValueAt(1), QStringLiteral("second"));
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_FALSE(list.Contains(QStringLiteral("abc-def")));
}

TEST(SortedUniqueList, KeepsOneOfEachIgnoringCaseInOrder) {
  SortedUniqueList list;
  EXPECT_TRUE(list.Add(QStringLiteral("delta")));
  EXPECT_TRUE(list.Add(QStringLiteral("Alpha")));
  EXPECT_TRUE(list.Add(QStringLiteral("charlie")));
  EXPECT_FALSE(list.Add(QStringLiteral("ALPHA")));
  EXPECT_TRUE(list.Add(QStringLiteral("Bravo")));
  EXPECT_FALSE(list.Add(QStringLiteral("bravo")));
  EXPECT_EQ(list.Items(), (QStringList{"Alpha", "Bravo", "charlie", "delta"}));
}

}  // namespace
