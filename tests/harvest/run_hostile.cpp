// Whole runs against a substitute portal that answers with hostile texts: every hostile
// answer must end with the readable rows written, the rest of its tasks saved for the next
// run and named in the log, and nothing sent anywhere but the portal.

#include <gtest/gtest.h>

#include <QDir>
#include <functional>
#include <set>

#include "harvest/cards.h"
#include "harvest/handlers.h"
#include "harvest/resultfile.h"
#include "portal/api.h"
#include "tests/harvest/run_support.h"
#include "tools/portal-sim/dataset.h"

using namespace std::chrono_literals;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

const simdata::Config kConfig{2, 30, 300, 7};

QStringList SimArgs(QStringList faults) {
  QStringList args{QStringLiteral("--regions"), QString::number(kConfig.regions),
                   QStringLiteral("--orgs"),    QString::number(kConfig.orgs),
                   QStringLiteral("--houses"),  QString::number(kConfig.houses),
                   QStringLiteral("--seed"),    QString::number(kConfig.seed)};
  for (const QString& f : faults) args << QStringLiteral("--fault") << f;
  return args;
}

// The rows an undisturbed run writes for these organisations of the region.
QStringList ExpectedRows(const simdata::Dataset& ds, int region, const std::vector<int>& orgs,
                         const QString& base) {
  QStringList rows;
  for (int org : orgs) {
    auto card = ExtractCardColumns(Q(ds.CardJson(org)).toUtf8(), QByteArray());
    if (!card) continue;
    RunData run;
    run.baseUrl = base;
    run.OrgRegions.Append(card->guid, Q(ds.Regions()[region].name));
    run.OrgCards.Append(card->guid, card->columns.join(QLatin1Char('\t')));
    rows += ExpectedHouseRows(ds, org, card->guid, run);
  }
  rows.sort();
  return rows;
}

QStringList Sorted(QStringList l) {
  l.sort();
  return l;
}

class HostilePortal : public ::testing::Test {
 protected:
  HostilePortal() : ds_(kConfig) {
    // A region of one search page, and three of its organisations to aim faults at.
    for (int r = 0; r < kConfig.regions && region_ < 0; ++r)
      if (ds_.RegionOrgs(r).size() >= 3 && ds_.RegionOrgs(r).size() <= 100) region_ = r;
    if (region_ >= 0) orgs_ = ds_.RegionOrgs(region_);
  }

  QString Guid(int i) const { return Q(ds_.OrgGuid(orgs_.at(size_t(i)))); }
  QString Key() const { return Q(ds_.Regions()[region_].code) + QStringLiteral("$$$") + Q(ds_.Regions()[region_].guid); }
  // Every organisation of the region but those listed.
  std::vector<int> AllBut(std::set<int> positions) const {
    std::vector<int> out;
    for (size_t i = 0; i < orgs_.size(); ++i)
      if (!positions.count(int(i))) out.push_back(orgs_[i]);
    return out;
  }

  simdata::Dataset ds_;
  int region_ = -1;
  std::vector<int> orgs_;
};

TEST_F(HostilePortal, EveryHostileAnswerEndsWithItsRowsItsSavedTaskAndItsLogLine) {
  ASSERT_GE(region_, 0);
  const QString hostile = QStringLiteral("X\\r\\nhttps://other.host/steal|||y");
  // Filled in once the portal runs (its port is in every address).
  struct Case {
    const char* name;
    std::function<QStringList()> faults;
    std::function<QString(const QString& base)> logLine;       // a log text holds this
    std::function<QStringList(const QString& base)> saved;     // lists.dat, in any order
    std::function<std::vector<int>()> rowsOf;                  // organisations with their rows
    std::function<void(const QStringList& rows)> extra = nullptr;  // rows of `altered`
    int altered = -1;                                              // compared by `extra` only
    int totalTimeoutMs = 60000;
    QString selectedKey = QString();                           // instead of the region's own
  };
  const QString searchTask1 = QStringLiteral("ppa/api/rest/services/ppa/public/organizations/searchByOrg?pageIndex=1&elementsPerPage=100|||") + Key();
  auto card = [](const QString& base, const QString& guid) { return OrgCardTask(base, guid); };
  const QString kept = QStringLiteral(", задача сохранена для следующего запуска: ");

  const std::vector<Case> cases = {
      {"a GUID with a line break and another address in a search answer",
       [&] {
         return QStringList{QStringLiteral("kind=search,body={\"total\":3,\"organizationSummaryWithNsiList\":"
                                           "[{\"guid\":\"%1\"},{\"guid\":\"%2\"},{\"guid\":\"дом-1\"}]}")
                                .arg(Guid(0), hostile)};
       },
       [&](const QString& base) {
         return QStringLiteral("Пропущено организаций с GUID не из простых символов: 2 (первый: "
                               "\"X\\x0d\\x0ahttps://other.host/steal|||y\") в ответе ") + base + searchTask1;
       },
       [](const QString&) { return QStringList(); },
       [&] { return std::vector<int>{orgs_[0]}; }},
      {"a region count of 10^12",
       [] { return QStringList{QStringLiteral("kind=count,body=1000000000000")}; },
       [&](const QString&) {
         return QStringLiteral("Ответ неправдоподобен (число организаций 1000000000000 вне 0..1000000)") + kept + Key();
       },
       [&](const QString&) { return QStringList{Key()}; },
       [] { return std::vector<int>{}; }},
      {"a region count of 2^31-1",
       [] { return QStringList{QStringLiteral("kind=count,body=2147483647")}; },
       [&](const QString&) { return QStringLiteral("Ответ неправдоподобен (число организаций 2147483647 вне 0..1000000)"); },
       [&](const QString&) { return QStringList{Key()}; },
       [] { return std::vector<int>{}; }},
      {"a negative region count",
       [] { return QStringList{QStringLiteral("kind=count,body=-5")}; },
       [&](const QString&) { return QStringLiteral("Ответ неправдоподобен (число организаций -5 вне 0..1000000)"); },
       [&](const QString&) { return QStringList{Key()}; },
       [] { return std::vector<int>{}; }},
      {"a region count that is no number",
       [] { return QStringList{QStringLiteral("kind=count,body={}")}; },
       [&](const QString&) { return QStringLiteral("Ответ не прочитан (число организаций не число: \"{}\")") + kept + Key(); },
       [&](const QString&) { return QStringList{Key()}; },
       [] { return std::vector<int>{}; }},
      {"a malformed first search page",
       [] { return QStringList{QStringLiteral("kind=search,first=1,malformed")}; },
       [&](const QString& base) { return QStringLiteral("Ответ не прочитан (не JSON)") + kept + base + searchTask1; },
       [&](const QString& base) { return QStringList{base + searchTask1}; },
       [] { return std::vector<int>{}; }},
      {"an empty card",
       [&] { return QStringList{QStringLiteral("kind=card,match=%1,empty").arg(Guid(1))}; },
       [&](const QString& base) { return QStringLiteral("Ответ не прочитан (карточка не JSON-объект)") + kept + card(base, Guid(1)); },
       [&](const QString& base) { return QStringList{card(base, Guid(1))}; },
       [&] { return AllBut({1}); }},
      {"a house total of 10^12",
       [&] { return QStringList{QStringLiteral("kind=housecount,match=%1,body={\"total\":1000000000000}").arg(Guid(1))}; },
       [&](const QString& base) {
         return QStringLiteral("Ответ неправдоподобен (число домов 1000000000000 вне 0..10000000)") + kept +
                HouseCountTask(base, Guid(1));
       },
       [&](const QString& base) { return QStringList{HouseCountTask(base, Guid(1))}; },
       [&] { return AllBut({1}); }},
      {"a negative house total",
       [&] { return QStringList{QStringLiteral("kind=housecount,match=%1,body={\"total\":-1}").arg(Guid(2))}; },
       [&](const QString&) { return QStringLiteral("Ответ неправдоподобен (число домов -1 вне 0..10000000)"); },
       [&](const QString& base) { return QStringList{HouseCountTask(base, Guid(2))}; },
       [&] { return AllBut({2}); }},
      {"a malformed house count",
       [&] { return QStringList{QStringLiteral("kind=housecount,match=%1,malformed").arg(Guid(0))}; },
       [&](const QString& base) { return QStringLiteral("Ответ не прочитан (не JSON-объект)") + kept + HouseCountTask(base, Guid(0)); },
       [&](const QString& base) { return QStringList{HouseCountTask(base, Guid(0))}; },
       [&] { return AllBut({0}); }},
      {"a house page that is not JSON",
       [&] { return QStringList{QStringLiteral("kind=housepage,match=%1,body=<html>busy</html>").arg(Guid(0))}; },
       [&](const QString& base) { return QStringLiteral("Ответ не прочитан (нет массива items)") + kept + HousePageTask(base, 1, Guid(0)); },
       [&](const QString& base) { return QStringList{HousePageTask(base, 1, Guid(0))}; },
       [&] { return AllBut({0}); }},
      {"control characters in a card field",
       [&] {
         return QStringList{QStringLiteral("kind=card,match=%1,body={\"guid\":\"%1\",\"fullName\":\"a\\u0000b\\u000bc\\u000cd\\u001be\\u007f\"}")
                                .arg(Guid(1))};
       },
       [](const QString&) { return QStringLiteral("Запускаем формирование файла Excel..."); },
       [](const QString&) { return QStringList(); },
       [&] { return AllBut({1}); },
       [&](const QStringList& rows) {
         ASSERT_GE(rows.size(), 1);
         for (const QString& row : rows) {
           const QStringList f = row.split(QLatin1Char('\t'));
           EXPECT_EQ(f.size(), 30);
           EXPECT_EQ(f.value(2), QStringLiteral("a b c d e "));
         }
       },
       1},
      {"a trickling card past the total deadline",
       [&] { return QStringList{QStringLiteral("kind=card,match=%1,trickle=100,pad=200").arg(Guid(2))}; },
       [&](const QString& base) {
         return QStringLiteral("ERROR_Operation timed out: the whole answer did not arrive within 1 seconds для ") +
                card(base, Guid(2));
       },
       [&](const QString& base) { return QStringList{card(base, Guid(2))}; },
       [&] { return AllBut({2}); },
       nullptr, -1, 1000},
      {"a 429 with Retry-After",
       [&] { return QStringList{QStringLiteral("kind=card,match=%1,first=1,status=429,retry-after=1").arg(Guid(0))}; },
       [&](const QString& base) {
         return QStringLiteral("ERROR_Too Many Requests (Retry-After: 1 s, next attempt in 1 s) для ") + card(base, Guid(0));
       },
       [](const QString&) { return QStringList(); },
       [&] { return AllBut({}); }},
      {"a house page over the 64 MiB cap",
       [&] { return QStringList{QStringLiteral("kind=housepage,match=%1,pad=67108865").arg(Guid(1))}; },
       [&](const QString& base) {
         return QStringLiteral("ERROR_answer larger than 67108864 bytes для ") +
                HousePageTask(base, 1, Guid(1)).section(QStringLiteral("|||"), 0, 0);
       },
       [&](const QString& base) { return QStringList{HousePageTask(base, 1, Guid(1))}; },
       [&] { return AllBut({1}); }},
      {"a huge card field within the cap",
       [&] {
         return QStringList{QStringLiteral("kind=card,match=%1,fill=2000000,body={\"guid\":\"%1\",\"fullName\":\"@@FILL@@\"}").arg(Guid(2))};
       },
       [](const QString&) { return QStringLiteral("Запускаем формирование файла Excel..."); },
       [](const QString&) { return QStringList(); },
       [&] { return AllBut({2}); },
       [&](const QStringList& rows) {
         ASSERT_GE(rows.size(), 1);
         for (const QString& row : rows) EXPECT_EQ(row.split(QLatin1Char('\t')).value(2), QString(2000000, QChar(u'Ж')));
       },
       2},
      {"a region key from the region list that is not plain",
       [] { return QStringList(); },
       [](const QString&) {
         // Skipped before it becomes a task: nothing is sent, nothing saved.
         return QStringLiteral("пропущен: в cities.txt у него неверный код или GUID: 77$$$дом");
       },
       [](const QString&) { return QStringList(); },
       [] { return std::vector<int>{}; },
       nullptr, -1, 60000, QStringLiteral("77$$$дом")},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimServer sim(SimArgs(c.faults()));
    QString error;
    ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
    const QString base = sim.BaseUrl();
    InFreshThread([&] {
      JobRun run;
      run.view.regions = {{Q(ds_.Regions()[region_].name), c.selectedKey.isEmpty() ? Key() : c.selectedKey}};
      HarvestSettings s = run.Settings(sim);
      s.fetch.totalTimeoutMs = c.totalTimeoutMs;
      s.fetch.maxRetryAfterSec = 2;
      run.Create(s);
      ASSERT_TRUE(run.RunToEnd(180s));

      const QStringList texts = LogTexts(run.view.LogLines());
      const QString expectedLine = c.logLine(base);
      EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [&](const QString& t) { return t.contains(expectedLine); }))
          << "no log line with: " << expectedLine.toStdString() << "\nlog:\n" << texts.join('\n').toStdString();
      for (const QString& t : texts) EXPECT_FALSE(t.contains(u'\n') || t.contains(u'\r')) << t.toStdString();

      EXPECT_EQ(Sorted(FileLines(run.dir + QStringLiteral("lists.dat"))), Sorted(c.saved(base)));

      QStringList compared, altered;
      for (const QString& row : run.Rows()) {
        const bool isAltered = c.altered >= 0 && row.section(QLatin1Char('\t'), 1, 1) == Guid(c.altered);
        (isAltered ? altered : compared) << row;
      }
      EXPECT_EQ(Sorted(compared), ExpectedRows(ds_, region_, c.rowsOf(), base));
      if (c.extra) c.extra(altered);

      // Nothing ever went anywhere but the portal, and nothing but plain values went into a body.
      for (const SimRequest& r : sim.Requests()) {
        EXPECT_FALSE(r.requestLine.contains("other.host"));
        EXPECT_FALSE(r.body.contains("other.host"));
      }
    });
  }
}

// A task that can never succeed does not come back at every start: a refused one goes at
// once, an unusable answer or a failed request after the third run in a row; each goes into
// the list beside the results and is named in the log.
TEST_F(HostilePortal, TasksThatKeepFailingLeaveTheQueueAfterTheThirdRun) {
  ASSERT_GE(region_, 0);
  const simdata::Region& other = ds_.Regions()[size_t(1 - region_)];
  const QString otherKey = Q(other.code) + QStringLiteral("$$$") + Q(other.guid);
  SimServer sim(SimArgs({QStringLiteral("kind=count,match=%1,body={}").arg(Q(other.guid)),
                         QStringLiteral("kind=card,match=%1,body={\"guid\":null}").arg(Guid(0)),
                         QStringLiteral("kind=card,match=%1,status=503,reason=Service Unavailable").arg(Guid(1))}));
  QString error;
  ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
  const QString base = sim.BaseUrl();
  // Left by a build with another base address.
  const QString outside = OrgCardTask(QStringLiteral("https://other.host/"), Guid(2));
  const QString card0 = OrgCardTask(base, Guid(0));
  const QString card1 = OrgCardTask(base, Guid(1));
  const QString unusableCount = QStringLiteral("Ответ не прочитан (число организаций не число: \"{}\")");
  const QString unusableGuid = QStringLiteral("Ответ не прочитан (guid карточки не из простых символов: \"null\")");
  const QString listed = QStringLiteral(", перенесена в failed-tasks.txt: ");
  InFreshThread([&] {
    JobRun first;
    first.WriteFile("lists.dat", kUtf8Mark + (QStringList{Key(), otherKey, outside}.join(QStringLiteral("\r\n")) +
                                              QStringLiteral("\r\n")).toUtf8());
    first.WriteFile("allknown.dat", kUtf8Mark);
    first.Create(first.Settings(sim));
    ASSERT_TRUE(first.RunToEnd(120s));
    QStringList texts = LogTexts(first.view.LogLines());
    for (const QString& line : {
             QStringLiteral("Задача не может быть отправлена") + listed + outside,
             unusableCount + QStringLiteral(", задача сохранена для следующего запуска: ") + otherKey,
             unusableGuid + QStringLiteral(", задача сохранена для следующего запуска: ") + card0})
      EXPECT_TRUE(texts.contains(line)) << line.toStdString() << "\nlog:\n" << texts.join('\n').toStdString();
    EXPECT_TRUE(texts.join('\n').contains(QStringLiteral("В lists.dat сохранено задач с ошибкой: 3 ")));
    EXPECT_EQ(Sorted(FileLines(first.dir + QStringLiteral("lists.dat"))), Sorted({otherKey, card0, card1}));
    QStringList written;
    for (const QString& row : first.Rows()) written << row.section(QLatin1Char('\t'), 1, 1);
    QStringList expected;
    for (const int org : AllBut({0, 1})) expected << Q(ds_.OrgGuid(org));
    EXPECT_EQ(Sorted(written), Sorted(expected));

    // Continued twice: the third run in a row they fail in moves them to the list.
    // The working files go from run to run through a folder of their own.
    QTemporaryDir carried;
    const QString dir = carried.path() + QLatin1Char('/');
    const auto carry = [&dir](const QString& from) {
      for (const char* name : {"lists.dat", "allknown.dat", "context.dat", "failed-tasks.txt"}) {
        QFile::remove(dir + QString::fromUtf8(name));
        QFile::copy(from + QString::fromUtf8(name), dir + QString::fromUtf8(name));
      }
    };
    carry(first.dir);
    for (int run = 2; run <= 3; ++run) {
      SCOPED_TRACE(run);
      JobRun next;
      for (const char* name : {"lists.dat", "allknown.dat", "context.dat", "failed-tasks.txt"})
        if (QFile::exists(dir + QString::fromUtf8(name))) next.WriteFile(name, FileBytes(dir + QString::fromUtf8(name)));
      next.Create(next.Settings(sim));
      ASSERT_TRUE(next.RunToEnd(120s));
      texts = LogTexts(next.view.LogLines());
      const QString joined = texts.join('\n');
      if (run == 2) {
        EXPECT_EQ(Sorted(FileLines(next.dir + QStringLiteral("lists.dat"))), Sorted({otherKey, card0, card1}));
        EXPECT_FALSE(joined.contains(listed)) << joined.toStdString();
      } else {
        for (const QString& line : {unusableCount + QStringLiteral(", задача не выполнена 3 запуска подряд") + listed + otherKey,
                                    unusableGuid + QStringLiteral(", задача не выполнена 3 запуска подряд") + listed + card0,
                                    QStringLiteral("Задача не выполнена 3 запуска подряд") + listed + card1})
          EXPECT_TRUE(texts.contains(line)) << line.toStdString() << "\nlog:\n" << joined.toStdString();
        EXPECT_TRUE(joined.contains(QStringLiteral("Удалено из очереди задач (каждая названа выше, список в ")));
        EXPECT_FALSE(joined.contains(QStringLiteral("сохранено задач с ошибкой")));
        EXPECT_EQ(FileBytes(next.dir + QStringLiteral("lists.dat")), kUtf8Mark);
        // The list: a title line, then task, reason and date, one line each.
        const QStringList list = FileLines(next.dir + QStringLiteral("failed-tasks.txt"));
        ASSERT_EQ(list.size(), 5) << list.join('\n').toStdString();
        QStringList tasks;
        for (const QString& line : list.mid(1)) {
          EXPECT_EQ(line.count(QLatin1Char('\t')), 2) << line.toStdString();
          tasks << line.section(QLatin1Char('\t'), 0, 0);
        }
        EXPECT_EQ(Sorted(tasks), Sorted({outside, otherKey, card0, card1}));
        EXPECT_TRUE(list.join(QLatin1Char(10)).contains(QStringLiteral("\tService Unavailable\t"))) << list.join(QLatin1Char(10)).toStdString();
      }
      carry(next.dir);
    }
  });
}

TEST_F(HostilePortal, WorkingFilesCutByANulAreReported) {
  ASSERT_GE(region_, 0);
  SimServer sim(SimArgs({QStringLiteral("kind=count,body=0")}));
  QString error;
  ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
  InFreshThread([&] {
    JobRun run;
    // The queue holds one region, then a NUL and two more lines; the context a NUL alone.
    run.WriteFile("lists.dat", kUtf8Mark + Key().toUtf8() + QByteArray("\r\n\0", 3) + "x\r\n" + Key().toUtf8() + "\r\n");
    run.WriteFile("context.dat", QByteArray("\0", 1));
    run.Create(run.Settings(sim));
    ASSERT_TRUE(run.RunToEnd(120s));
    const QStringList texts = LogTexts(run.view.LogLines());
    const qsizetype dropped = 1 + 1 + 2 + Key().size() + 2;
    EXPECT_TRUE(texts.contains(QStringLiteral("Файл %1lists.dat прочитан не целиком: текст обрезан символом NUL, "
                                              "отброшено символов: %2, строк: 2; копия файла сохранена в %1lists.dat.damaged")
                                   .arg(QDir::toNativeSeparators(run.dir))
                                   .arg(dropped)))
        << texts.join('\n').toStdString();
    EXPECT_TRUE(texts.contains(QStringLiteral("Файл %1context.dat прочитан не целиком: текст обрезан символом NUL, "
                                              "отброшено символов: 1, строк: 1").arg(QDir::toNativeSeparators(run.dir))))
        << texts.join('\n').toStdString();
    // The damaged file itself is kept beside the new one, which holds what was read.
    EXPECT_TRUE(FileBytes(run.dir + QStringLiteral("lists.dat.damaged")).contains(QByteArray("\0x\r\n", 4)));
    // What was read is worked.
    ASSERT_EQ(sim.Requests().size(), 1);
    EXPECT_EQ(sim.Requests()[0].kind, QStringLiteral("count"));
  });
}

TEST_F(HostilePortal, RegionKeysOfTheRegionListMustBePlain) {
  ASSERT_GE(region_, 0);
  SimServer sim(SimArgs({QStringLiteral("kind=count,body=0")}));
  QString error;
  ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
  InFreshThread([&] {
    JobRun run;
    run.view.regions = {{QStringLiteral("Плохой"), QStringLiteral("01$$$x\r\nhttps://other.host/a|||b")},
                        {QStringLiteral("Хороший"), Key()}};
    run.Create(run.Settings(sim));
    ASSERT_TRUE(run.RunToEnd(120s));
    const QString joined = LogTexts(run.view.LogLines()).join('\n');
    EXPECT_TRUE(joined.contains(QStringLiteral("Регион \"Плохой\" пропущен: в cities.txt у него неверный код или GUID")))
        << joined.toStdString();
    ASSERT_EQ(sim.Requests().size(), 1);  // the good region's count only
    EXPECT_FALSE(FileBytes(run.dir + QStringLiteral("allknown.dat")).contains("other.host"));
    EXPECT_FALSE(FileBytes(run.dir + QStringLiteral("lists.dat")).contains("other.host"));
  });
}

}  // namespace
