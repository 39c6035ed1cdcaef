// The context file of a saved queue: which entries a queue needs, and that awkward values
// come back unchanged.

#include <gtest/gtest.h>

#include "harvest/job_context.h"
#include "tests/harvest/contextlines.h"
#include "portal/api.h"

namespace {

const QString kBase = QStringLiteral("https://portal.test/");

TEST(JobContext, KeepsOnlyWhatTheQueueNeedsAndReadsItBack) {
  RunData run;
  const QString keyA = QStringLiteral("01$$$aaaa");
  const QString keyB = QStringLiteral("02$$$bbbb");
  const QString keyUnused = QStringLiteral("03$$$cccc");
  run.RegionNames.Append(keyA, QStringLiteral("Республика = \"А\"\tс табуляцией"));
  run.RegionNames.Append(keyB, QStringLiteral("Край \\ обратная черта"));
  run.RegionNames.Append(keyUnused, QStringLiteral("не нужен"));
  run.OrgRegions.Append(QStringLiteral("GUID-1"), QStringLiteral("Регион первой"));
  run.OrgRegions.Append(QStringLiteral("guid-2"), QStringLiteral("Регион второй"));
  run.OrgRegions.Append(QStringLiteral("guid-3"), QStringLiteral("не нужен"));
  run.OrgCards.Append(QStringLiteral("guid-2"), QStringLiteral("Полное\tКраткое\t\t12.05.2008\\n\r\nконец") + QChar(0) + QStringLiteral("после NUL"));
  run.OrgCards.Append(QStringLiteral("guid-2"), QStringLiteral("вторая карточка: не берётся"));

  const QStringList tasks{
      keyA,
      SearchPageTask(kBase, 2, QStringLiteral("02"), QStringLiteral("bbbb")),
      OrgCardTask(kBase, QStringLiteral("guid-1")),  // other letter case than the list
      HouseCountTask(kBase, QStringLiteral("guid-2")),
      HousePageTask(kBase, 2, QStringLiteral("guid-2")),
      QStringLiteral("   "),
  };
  QStringList lines = ContextHeadLines({}, {}) + EntryLines(run, tasks);
  // Each entry once: two regions, two organisation regions, one card.
  EXPECT_EQ(lines.size(), 1 + 5);
  for (const QString& line : lines) {
    EXPECT_FALSE(line.contains(QLatin1Char('\r')));
    EXPECT_FALSE(line.contains(QLatin1Char('\n')));
    EXPECT_FALSE(line.contains(QChar(0)));
    EXPECT_FALSE(line.contains(QStringLiteral("не нужен")));
  }
  lines << QStringLiteral("R\tonly two fields") << QStringLiteral("X\tkey\tvalue");  // skipped

  RunData back;
  EXPECT_EQ(ReadContextLines(lines, back), 5);
  EXPECT_EQ(back.RegionNames.Lookup(keyA), run.RegionNames.Lookup(keyA));
  EXPECT_EQ(back.RegionNames.Lookup(keyB), run.RegionNames.Lookup(keyB));
  EXPECT_FALSE(back.RegionNames.Contains(keyUnused));
  EXPECT_EQ(back.OrgRegions.Lookup(QStringLiteral("guid-1")), QStringLiteral("Регион первой"));
  EXPECT_EQ(back.OrgRegions.Lookup(QStringLiteral("guid-2")), QStringLiteral("Регион второй"));
  EXPECT_EQ(back.OrgCards.Lookup(QStringLiteral("guid-2")), run.OrgCards.Lookup(QStringLiteral("guid-2")));
  EXPECT_EQ(back.OrgCards.Count(), 1);
}

// The entry lines exactly as earlier versions wrote them: files already on disks must load,
// and the writer must not change a byte of what it escapes.
TEST(JobContext, EntryLinesKeepTheirBytes) {
  struct Case {
    QString value;
    QString line;
  };
  const Case cases[] = {
      {QStringLiteral("простое значение"), QStringLiteral("C\tguid-1\tпростое значение")},
      {QStringLiteral("a\tb\rc\nd\\e"), QStringLiteral("C\tguid-1\ta\\tb\\rc\\nd\\\\e")},
      {QStringLiteral("до") + QChar(0) + QStringLiteral("после"), QStringLiteral("C\tguid-1\tдо\\0после")},
      {QStringLiteral("\U0001F3E0\t\t"), QStringLiteral("C\tguid-1\t\U0001F3E0\\t\\t")},
      {QString(), QStringLiteral("C\tguid-1\t")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.toStdString());
    RunData run;
    run.OrgCards.Append(QStringLiteral("GUID-1"), c.value);
    // The key as the task spells it, as before.
    EXPECT_EQ(EntryLines(run, {HouseCountTask(kBase, QStringLiteral("guid-1"))}), QStringList{c.line});
    RunData back;
    ASSERT_TRUE(LoadJobContextEntry(c.line, back));
    EXPECT_EQ(back.OrgCards.Lookup(QStringLiteral("guid-1")), c.value);
  }
}

TEST(JobContext, ForeignOrEmptyFilesGiveNothing) {
  RunData run;
  EXPECT_EQ(ReadContextLines({}, run), 0);
  EXPECT_EQ(ReadContextLines({QStringLiteral("R\tkey\tvalue")}, run), 0);  // no format tag
  EXPECT_EQ(run.RegionNames.Count(), 0);
  // An empty queue still gives a valid file (the tag alone).
  EXPECT_EQ(ContextHeadLines({}, {}).size(), 1);
}

}  // namespace
