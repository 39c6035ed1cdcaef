// The operating-system seam: durable files, the code page, the tick count, file names for C
// libraries, the program's own path.

#include "platform/atomicfile.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

#include "tests/support/testplatform.h"

namespace {

QByteArray ReadBytes(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return QByteArray("<unreadable>");
  return file.readAll();
}

void WriteBytes(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_EQ(file.write(bytes), bytes.size());
}

// Lines as a text file holds them, written the durable way.
FileOutcome WriteLines(const QString& path, const QStringList& lines) {
  QByteArray bytes;
  for (const QString& line : lines) bytes += line.toUtf8() + "\r\n";
  return WriteFileAtomically(path, bytes);
}

class AtomicFiles : public testing::Test {
 protected:
  QString Path(const QString& name) const { return dir_.filePath(name); }
  QTemporaryDir dir_;
};

TEST_F(AtomicFiles, FailedWriteLeavesOldFileIntact) {
  const QString folder = Path(QStringLiteral("locked"));
  ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("locked")));
  const QString path = folder + QStringLiteral("/selection.txt");
  const QByteArray old("old\r\ncontent\r\n");
  WriteBytes(path, old);
  QFile::setPermissions(dir_.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                         QFileDevice::ReadOther | QFileDevice::ExeOther);
  // The file itself stays writable: only the folder forbids creating the temporary file.
  QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther |
                                  QFileDevice::WriteOther);
  QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                    QFileDevice::ExeOther);

  // Windows lets a read-only folder take new files: nothing to fail there (the test below
  // fails the temporary file another way).
  if (AsOrdinaryUser([&] {
        QFile probe(folder + QStringLiteral("/probe"));
        const bool made = probe.open(QIODevice::WriteOnly);
        if (made) probe.remove();
        return made;
      })) {
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    GTEST_SKIP() << "a read-only folder takes new files on this system";
  }
  for (auto write : {&WriteLines}) {
    const bool failedWithReason = AsOrdinaryUser([&] {
      const FileOutcome written = write(path, {QStringLiteral("new")});
      return !written && !written.reason.isEmpty();
    });
    EXPECT_TRUE(failedWithReason);
    EXPECT_EQ(ReadBytes(path), old);
  }
  QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

TEST_F(AtomicFiles, TemporaryThatCannotBeMadeLeavesOldFileIntact) {
  // A folder where the temporary file would go: its creation fails on every system.
  const QString path = Path(QStringLiteral("selection.txt"));
  const QByteArray old("old\r\ncontent\r\n");
  WriteBytes(path, old);
  ASSERT_TRUE(QDir(dir_.path()).mkpath(QStringLiteral("selection.txt.tmp/inner")));
  for (auto write : {&WriteLines}) {
    const FileOutcome written = write(path, {QStringLiteral("new")});
    EXPECT_FALSE(written);
    EXPECT_FALSE(written.reason.isEmpty());
    EXPECT_EQ(ReadBytes(path), old);
    EXPECT_TRUE(QFileInfo(Path(QStringLiteral("selection.txt.tmp/inner"))).isDir());
  }
}

TEST_F(AtomicFiles, WriteOverAFolderFailsAndLeavesNothingBehind) {
  // The rename at the end fails here, after the temporary file was written.
  ASSERT_TRUE(QDir(dir_.path()).mkpath(QStringLiteral("target/inner")));
  const FileOutcome overFolder = WriteLines(Path(QStringLiteral("target")), {QStringLiteral("x")});
  EXPECT_FALSE(overFolder);
  EXPECT_FALSE(overFolder.reason.isEmpty());
  EXPECT_TRUE(QFileInfo(Path(QStringLiteral("target/inner"))).isDir());
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden).size(), 0);

  const FileOutcome noFolder = WriteLines(Path(QStringLiteral("no/such/folder.txt")), {});
  EXPECT_FALSE(noFolder);
  EXPECT_FALSE(noFolder.reason.isEmpty());
}

TEST(FullDisk, FailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
  SmallDisk disk(64);
  if (!disk.Available()) GTEST_SKIP() << "no small file system can be mounted here (not root)";
  const QString path = disk.Path() + QStringLiteral("lists.dat");
  const QStringList oldLines{QStringLiteral("старая задача 1"), QStringLiteral("старая задача 2")};
  ASSERT_TRUE(WriteLines(path, oldLines));
  const QByteArray old = ReadBytes(path);
  disk.Fill();
  // A small file sits in the writer's buffer until the flush: that is where it must fail.
  struct Case {
    const char* name;
    int lines;
  };
  for (const Case& c : {Case{"a few bytes", 1}, Case{"a few KiB", 200}, Case{"more than the disk", 20000}}) {
    SCOPED_TRACE(c.name);
    QStringList lines;
    for (int i = 0; i < c.lines; ++i) lines << QStringLiteral("новая задача %1").arg(i);
    for (auto write : {&WriteLines}) {
      const FileOutcome written = write(path, lines);
      EXPECT_FALSE(written);
      EXPECT_FALSE(written.reason.isEmpty());
      EXPECT_EQ(ReadBytes(path), old);
      EXPECT_FALSE(QFile::exists(path + QStringLiteral(".tmp")));
    }
  }
  disk.Free();
  EXPECT_TRUE(WriteLines(path, {QStringLiteral("после")}));
}

TEST(EncodeAnsi, UnknownCharactersBecomeQuestionMarks) {
  EXPECT_EQ(EncodeAnsi(QStringLiteral("Ёж №1 «а»")), QByteArray("\xa8\xe6 \xb9\x31 \xab\xe0\xbb"));
  // Chinese, an emoji (one character, two code units) and a lone surrogate.
  EXPECT_EQ(EncodeAnsi(QStringLiteral("я中\U0001F600z") + QChar(0xD800)), QByteArray("\xff??z?"));
  EXPECT_EQ(EncodeAnsi(QStringLiteral("a") + QChar(0xDC00) + QStringLiteral("b") + QChar(0xD800) + QChar(0xD800)),
            QByteArray("a?b??"));
  // Genuine U+001A and U+0000 keep their bytes.
  EXPECT_EQ(EncodeAnsi(QStringLiteral("\x1A") + QChar(u'\0') + QStringLiteral("中")), QByteArray("\x1A\0?", 3));
  EXPECT_FALSE(EncodeAnsi(QStringLiteral("中")).contains('\x1A'));
}

TEST(TickCount, MillisecondsSinceBootIn32Bits) {
  const uint32_t before = TickCount();
  QFile uptime(QStringLiteral("/proc/uptime"));
  ASSERT_TRUE(uptime.open(QIODevice::ReadOnly));
  const double seconds = uptime.readAll().split(' ').value(0).toDouble();
  const uint32_t after = TickCount();

  EXPECT_LE(before, after);
  const uint32_t fromUptime = uint32_t(uint64_t(seconds * 1000.0));
  const uint32_t gap = std::min(fromUptime - after, after - fromUptime);
  EXPECT_LT(gap, 5000u) << "tick " << after << ", uptime " << seconds << " s";
}

TEST(LibraryFileName, OpensAFileInAFolderWithCyrillicLettersAndABlank) {
  // What the workbook writer is given: on Linux it opens it with fopen, on Windows with
  // wide-character calls from the UTF-8 name.
  QTemporaryDir tmp;
  ASSERT_TRUE(QDir(tmp.path()).mkdir(QStringLiteral("Мои программы")));
  const QString path = tmp.path() + QStringLiteral("/Мои программы/данные.xlsx");
  QFile made(path);
  ASSERT_TRUE(made.open(QIODevice::WriteOnly));
  made.write("x");
  made.close();
  const QByteArray name = LibraryFileName(path);
  EXPECT_EQ(QString::fromUtf8(name), QDir::toNativeSeparators(path));
  // Where the writer's temporary files go, when it is told: a folder that is there.
  const QByteArray temp = WorkbookTempFolder();
  if (!temp.isEmpty()) {
    EXPECT_TRUE(QFileInfo(DecodeAnsiBytes(temp)).isDir()) << temp.toStdString();
  }
}

TEST(ExecutableFilePath, IsThisProgram) {
  const QString name = QFileInfo(ExecutableFilePath()).fileName();
  EXPECT_TRUE(name == QStringLiteral("platform_tests") || name == QStringLiteral("platform_tests.exe")) << name.toStdString();
}

}  // namespace
