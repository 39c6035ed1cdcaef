// The folder lock as Windows keeps it: the toolkit writes the computer's NetBIOS name into
// the lock, process ids come back after a restart (under wine a restarted copy often gets the
// same id), and a copy that is ended abruptly leaves its lock behind. The second copy is a
// process of its own: this program started again with --hold DIR, which takes the folder,
// prints "HELD <its id>" and waits to be killed.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QLockFile>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

#include "app/folderlock.h"
#include "tests/support/childprocess.h"

namespace {

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void Write(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_EQ(file.write(bytes), bytes.size());
}

TEST(FolderLockOnWindows, ALockLeftWithThisCopysOwnIdIsTakenOver) {
  QTemporaryDir dir;
  const QString folder = dir.path() + QLatin1Char('/');
  const QByteArray ownId = QByteArray::number(QCoreApplication::applicationPid());
  // Written by the toolkit itself, as the crashed copy's was before this copy got its id:
  // the id, the program's name (which a running process with that id matches) and the host.
  QByteArray left;
  {
    QTemporaryDir scratch;
    QLockFile written(scratch.path() + QStringLiteral("/written.lock"));
    ASSERT_TRUE(written.tryLock(0));
    left = ReadAll(scratch.path() + QStringLiteral("/written.lock"));
    written.unlock();
  }
  ASSERT_TRUE(left.startsWith(ownId + "\n" + QCoreApplication::applicationName().toUtf8() + "\n")) << left.toStdString();
  Write(folder + FolderLock::FileName(), left);
  {
    FolderLock restarted(folder);
    const FileOutcome taken = restarted.Take();
    ASSERT_TRUE(taken) << taken.reason.toStdString();
    // The lock it now holds still turns a second taker away, named as this computer's copy.
    FolderLock again(folder);
    const FileOutcome refused = again.Take();
    EXPECT_FALSE(refused);
    EXPECT_TRUE(refused.reason.contains(QStringLiteral("уже работает другая копия программы (процесс ") + ownId))
        << refused.reason.toStdString();
  }
  // The same id from another computer (a shared folder) is that computer's copy: refused.
  Write(folder + FolderLock::FileName(), ownId + "\norgharvester\nBUH-PC-07\n");
  FolderLock elsewhere(folder);
  const FileOutcome refused = elsewhere.Take();
  EXPECT_FALSE(refused);
  EXPECT_TRUE(refused.reason.contains(QStringLiteral("другой компьютер: BUH-PC-07"))) << refused.reason.toStdString();
}

TEST(FolderLockOnWindows, ASecondCopyOnThisComputerIsToldTheTruthAndAKilledOnesLockIsTaken) {
  QTemporaryDir dir;
  const QString folder = dir.path() + QLatin1Char('/');
  ChildProcess first;
  ASSERT_TRUE(first.Start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hold"), folder}, true));
  QByteArray line;
  ASSERT_TRUE(first.ReadLine(&line, 20000) && line.startsWith("HELD ")) << line.toStdString();
  const QByteArray firstId = line.mid(5);

  // The name the toolkit wrote is the one compared with: this computer's, whatever its case
  // or length against the DNS host name.
  const QList<QByteArray> lockLines = ReadAll(folder + FolderLock::FileName()).split('\n');
  ASSERT_GE(lockLines.size(), 3);
  EXPECT_EQ(lockLines[0], firstId);
  EXPECT_EQ(QString::fromUtf8(lockLines[2]), LockHostName());

  FolderLock second(folder);
  const FileOutcome refused = second.Take();
  ASSERT_FALSE(refused);
  const std::string why = refused.reason.toStdString();
  EXPECT_TRUE(refused.reason.contains(QStringLiteral("уже работает другая копия программы (процесс ") + firstId)) << why;
  // Never told that another computer holds it, nor to delete a running copy's lock.
  EXPECT_FALSE(refused.reason.contains(QStringLiteral("другой компьютер"))) << why;
  EXPECT_FALSE(refused.reason.contains(QStringLiteral("удалите"))) << why;

  // Ended as the task manager or a crash ends it: the lock stays behind and is taken over.
  first.Kill();
  ASSERT_TRUE(first.Wait(20000));
  ASSERT_TRUE(QFile::exists(folder + FolderLock::FileName()));
  FolderLock after(folder);
  const FileOutcome taken = after.Take();
  EXPECT_TRUE(taken) << taken.reason.toStdString();
}

// The second copy: holds the folder until it is killed.
int HoldFolder(const QString& folder) {
  FolderLock lock(folder);
  if (const FileOutcome taken = lock.Take(); !taken) {
    std::fprintf(stderr, "folderlock_tests: %s\n", qPrintable(taken.reason));
    return 1;
  }
  std::printf("HELD %lld\n", static_cast<long long>(QCoreApplication::applicationPid()));
  std::fflush(stdout);
  for (;;) QThread::sleep(60);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc == 3 && QByteArray(argv[1]) == "--hold") return HoldFolder(QString::fromLocal8Bit(argv[2]));
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
