// A file held by another program while it is replaced: a virus scanner that looks at a fresh
// file for a moment is waited for; a spreadsheet program that keeps a workbook open is named
// in a clear reason after a bounded wait, and both files stay as they were. The holder is a
// process of its own (tests/windows/holdfile.cpp).

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "platform/platform.h"
#include "tests/support/childprocess.h"
#include "tests/support/simserver.h"

namespace {

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void Write(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_EQ(file.write(bytes), bytes.size());
}

// Starts the holder on path and returns once it holds the file.
bool Hold(ChildProcess& holder, const QString& path, int ms, const char* as) {
  if (!holder.Start(SimServer::HostPath(QStringLiteral(ORGH_HOLDFILE_EXE)),
                    {QDir::toNativeSeparators(path), QString::number(ms), QString::fromLatin1(as)}, true))
    return false;
  QByteArray line;
  return holder.ReadLine(&line, 20000) && line == "HELD";
}

TEST(ReplaceHeldFile, WaitsForAMomentaryHolderAndNamesALastingOne) {
  struct Case {
    const char* name;
    bool holdTarget;  // else the fresh file is held
    const char* as;
    int ms;
    bool replaced;
  };
  const Case cases[] = {
      {"a scanner looks at the fresh file for a moment", false, "scanner", 700, true},
      {"a spreadsheet program closes the workbook a moment later", true, "spreadsheet", 700, true},
      {"a spreadsheet program keeps the workbook open", true, "spreadsheet", 8000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir dir;
    const QString target = dir.path() + QStringLiteral("/data1.xlsx");
    const QString fresh = target + QStringLiteral(".tmp");
    Write(target, "old");
    Write(fresh, "new");
    ChildProcess holder;
    ASSERT_TRUE(Hold(holder, c.holdTarget ? target : fresh, c.ms, c.as));
    const FileOutcome replaced = ReplaceFileDurably(fresh, target);
    EXPECT_EQ(bool(replaced), c.replaced) << replaced.reason.toStdString();
    if (c.replaced) {
      EXPECT_EQ(ReadAll(target), "new");
      EXPECT_FALSE(QFile::exists(fresh));
    } else {
      EXPECT_TRUE(replaced.reason.contains(QStringLiteral("занят другой программой"))) << replaced.reason.toStdString();
      EXPECT_TRUE(replaced.reason.contains(QDir::toNativeSeparators(target))) << replaced.reason.toStdString();
      EXPECT_TRUE(replaced.reason.contains(QStringLiteral("закройте"))) << replaced.reason.toStdString();
      EXPECT_EQ(ReadAll(target), "old");
      EXPECT_EQ(ReadAll(fresh), "new");
    }
    holder.Kill();
    holder.Wait(10000);
  }
}

}  // namespace
