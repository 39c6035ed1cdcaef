// A run in a folder whose name looks like a placeholder ("x%1%2"): every log line names the
// folder as it is, whatever numbers and texts the line carries beside it.

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

#include "portal/api.h"
#include "tests/harvest/run_support.h"

using namespace std::chrono_literals;

namespace {

TEST(PlaceholderFolder, EveryLineNamesTheFolderAsItIs) {
  SimServer sim({QStringLiteral("--regions"), QStringLiteral("1"), QStringLiteral("--orgs"), QStringLiteral("5"),
                 QStringLiteral("--houses"), QStringLiteral("20"), QStringLiteral("--seed"), QStringLiteral("7")});
  QString error;
  ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
  InFreshThread([&] {
    JobRun run;
    ASSERT_TRUE(QDir(run.dir).mkdir(QStringLiteral("x%1%2")));
    HarvestSettings s = run.Settings(sim);
    s.dir = run.dir + QStringLiteral("x%1%2/");
    // A task left by a build with another base address: refused at once, so the run names
    // the list it went to, with a count beside the folder.
    const QString outside = OrgCardTask(QStringLiteral("https://other.host/"), QStringLiteral("00000000-0000-0000-0000-000000000001"));
    ASSERT_TRUE(WriteFileBytes(s.dir + QStringLiteral("lists.dat"), kUtf8Mark + outside.toUtf8() + "\r\n"));
    ASSERT_TRUE(WriteFileBytes(s.dir + QStringLiteral("allknown.dat"), kUtf8Mark));
    run.Create(s);
    ASSERT_TRUE(run.RunToEnd(120s));

    const QString folder = QDir::toNativeSeparators(s.dir);
    const QStringList texts = LogTexts(run.view.LogLines());
    const QString joined = texts.join('\n');
    EXPECT_TRUE(texts.contains(QStringLiteral("Удалено из очереди задач (каждая названа выше, список в ") + folder +
                               QStringLiteral("failed-tasks.txt): 1")))
        << joined.toStdString();
    EXPECT_TRUE(texts.contains(QStringLiteral("Данные будут записываться в файл ") + run.ResultPath())) << joined.toStdString();
    EXPECT_TRUE(run.ResultPath().startsWith(folder)) << joined.toStdString();
    ASSERT_TRUE(texts.last().startsWith(QStringLiteral("Работа завершена, лог записан в ") + folder)) << joined.toStdString();
    EXPECT_TRUE(QFileInfo::exists(texts.last().mid(texts.last().indexOf(folder))));
    // Wherever the folder's parent is named, the folder's own name follows it unchanged.
    const QString parent = QDir::toNativeSeparators(run.dir);
    for (const QString& text : texts) {
      if (!text.contains(parent)) continue;
      EXPECT_TRUE(text.contains(folder)) << text.toStdString();
    }
  });
}

}  // namespace
