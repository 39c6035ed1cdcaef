// Opening the workbook on Linux: xdg-open's verdict, faked by a script on PATH. (Windows
// hands the file to the shell, which a test cannot stand in for.)

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <csignal>

#include "platform/platform.h"
#include "tests/harvest/fakeopener.h"

namespace {

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(OpenWithDesktop, SaysWhyTheDesktopDidNotOpenTheFile) {
  const QString xlsx = QStringLiteral("/home/user/OrgHarvester/data5000.xlsx");
  struct Case {
    const char* name;
    QByteArray script;  // empty: no xdg-open on PATH
    bool session;
    bool opened;
    QString reason;
  };
  const Case cases[] = {
      {"no desktop session", ": >\"${0%/*}/ran\"", false, false, QStringLiteral("нет рабочего стола")},
      {"no xdg-open", "", true, false, QStringLiteral("нет программы xdg-open из пакета xdg-utils")},
      // What xdg-open says when no program takes the file's type.
      {"no program for the type",
       "echo \"xdg-open: no method available for opening '$1'\" >&2\nexit 3", true, false,
       QStringLiteral("xdg-open: no method available for opening '%1'").arg(xlsx)},
      {"fails without a word", "exit 4", true, false, QStringLiteral("xdg-open завершился с кодом 4")},
      {"handed to the program", "echo \"$1\" >\"${0%/*}/ran\"", true, true, QString()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeOpener opener(c.script, c.session);
    const FileOutcome opened = OpenWithDesktop(xlsx);
    EXPECT_EQ(opened.ok, c.opened);
    EXPECT_EQ(opened.reason, c.reason);
    if (c.opened) {
      EXPECT_EQ(ReadAll(opener.File("ran")), xlsx.toUtf8() + "\n");
    } else {
      EXPECT_FALSE(QFile::exists(opener.File("ran")));
    }
  }
}

TEST(OpenWithDesktop, OpenerThatRunsTheProgramItselfCountsAsOpenedAndIsLeftRunning) {
  // xdg-open without a desktop environment runs the program in its own process and returns
  // only when the program ends.
  FakeOpener opener("echo $$ >\"${0%/*}/pid\"\nexec /bin/sleep 60");
  const FileOutcome opened = OpenWithDesktop(QStringLiteral("/tmp/data1.xlsx"));
  EXPECT_TRUE(opened) << opened.reason.toStdString();
  bool ok = false;
  const pid_t pid = pid_t(ReadAll(opener.File("pid")).trimmed().toLongLong(&ok));
  ASSERT_TRUE(ok);
  EXPECT_EQ(::kill(pid, 0), 0) << "the program was ended";
  ::kill(pid, SIGTERM);
}

}  // namespace
