// File outcomes on Linux: the reasons the program gives for the system's error codes, and the
// three outcomes of putting a file in place, on a folder that cannot be synced too.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cerrno>

#include "platform/atomicfile.h"
#include "platform/platform.h"
#include "tests/support/foldersync.h"

namespace {

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

bool HasLatinLetters(const QString& text) {
  for (QChar c : text)
    if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) return true;
  return false;
}

TEST(FileErrorReason, RussianWithWhatToDo) {
  const struct {
    int code;
    const char* advice;  // what the user is told to do
  } cases[] = {
      {ENOSPC, "освободите место"},    {EDQUOT, "освободите место"},
      {EACCES, "проверьте права"},     {EPERM, "проверьте права"},
      {EROFS, "выберите папку"},       {EBUSY, "закройте его"},
      {EWOULDBLOCK, "закройте его"},   {ENOENT, "проверьте, что папка"},
      {EIO, "проверьте диск"},         {ENAMETOOLONG, "перенесите программу"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const QString reason = FileErrorReason(c.code);
    EXPECT_TRUE(reason.contains(QString::fromUtf8(c.advice))) << reason.toStdString();
    EXPECT_FALSE(HasLatinLetters(reason)) << reason.toStdString();
  }
  // A code without a text of its own is named by its number, still in Russian.
  EXPECT_EQ(FileErrorReason(EXDEV), QStringLiteral("системная ошибка номер %1").arg(EXDEV));
}

TEST(ReadFailureReason, SaysWhatStandsInTheWay) {
  QTemporaryDir dir;
  EXPECT_EQ(ReadFailureReason(dir.filePath(QStringLiteral("cities.txt"))),
            QStringLiteral("файл не найден; проверьте, что он на месте"));
  EXPECT_EQ(ReadFailureReason(dir.path()), FileErrorReason(EISDIR));
  EXPECT_EQ(ReadFailureReason(dir.filePath(QStringLiteral("no/cities.txt"))),
            QStringLiteral("файл не найден; проверьте, что он на месте"));
}

class Replacing : public testing::Test {
 protected:
  QString Path(const QString& name) const { return dir_.path() + QLatin1Char('/') + name; }
  QTemporaryDir dir_;
};

TEST_F(Replacing, DoneInPlaceNotSyncedOrFailed) {
  const QString target = Path(QStringLiteral("selection.txt"));
  ASSERT_TRUE(WriteFileAtomically(target, "old"));

  // Done: plainly.
  const FileOutcome done = WriteFileAtomically(target, "new");
  EXPECT_TRUE(done);
  EXPECT_FALSE(done.folderNotSynced);
  EXPECT_TRUE(done.reason.isEmpty());
  EXPECT_EQ(ReadAll(target), "new");

  // In place, the folder not synced: written all the same, and the reason names the folder
  // and says what is and is not guaranteed.
  {
    FolderSyncFails noFolderSync;
    const FileOutcome inPlace = WriteFileAtomically(target, "newer");
    EXPECT_TRUE(inPlace);
    EXPECT_TRUE(inPlace.folderNotSynced);
    EXPECT_EQ(ReadAll(target), "newer");
    EXPECT_FALSE(QFile::exists(target + QStringLiteral(".tmp")));
    EXPECT_TRUE(inPlace.reason.contains(QDir::toNativeSeparators(dir_.path()))) << inPlace.reason.toStdString();
    EXPECT_TRUE(inPlace.reason.contains(QStringLiteral("записывается целиком")));
    EXPECT_TRUE(inPlace.reason.contains(QStringLiteral("может пропасть")));
    EXPECT_GT(FolderSyncFails::Refused(), 0);

    const FileOutcome folder = SyncFolderOf(target);
    EXPECT_TRUE(folder);
    EXPECT_TRUE(folder.folderNotSynced);
    const FileOutcome removed = RemoveFile(target);
    EXPECT_TRUE(removed);
  }

  // Failed: the rename cannot take a folder's place; the target is as it was.
  ASSERT_TRUE(QDir(dir_.path()).mkpath(QStringLiteral("folder/inner")));
  const QString partial = Path(QStringLiteral("part"));
  ASSERT_TRUE(WriteFileAtomically(partial, "x"));
  const FileOutcome failed = ReplaceFileDurably(partial, Path(QStringLiteral("folder")));
  EXPECT_FALSE(failed);
  EXPECT_FALSE(failed.folderNotSynced);
  EXPECT_EQ(failed.reason, FileErrorReason(EISDIR));
  EXPECT_TRUE(QFileInfo(Path(QStringLiteral("folder/inner"))).isDir());
}

TEST_F(Replacing, AFileOfTheFolderStillSyncsWhenTheFolderCannot) {
  FolderSyncFails noFolderSync;
  SysFile file;
  ASSERT_TRUE(file.Open(Path(QStringLiteral("data.tab")), SysFile::Mode::kOneWriter));
  EXPECT_TRUE(file.Write("row\r\n", 5));
  EXPECT_TRUE(file.Sync());
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(FolderSyncFails::Refused(), 0);
}

}  // namespace
