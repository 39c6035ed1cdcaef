#include "app/folderlock.h"

#include <QDir>

FolderLock::FolderLock(const QString& dir) : dir_(dir) {
  lock_ = std::make_unique<QLockFile>(dir_ + FileName());
  // A lock is stale only when its copy is gone, never because it is old: a harvest runs for
  // hours.
  lock_->setStaleLockTime(0);
}

bool FolderLock::Take(QString* message) {
  if (lock_->tryLock(0)) return true;
  const QString folder = QDir::toNativeSeparators(dir_);
  QString text;
  if (lock_->error() == QLockFile::LockFailedError) {
    qint64 pid = 0;
    QString host, app;
    lock_->getLockInfo(&pid, &host, &app);
    text = QStringLiteral("В папке %1 уже работает другая копия программы (процесс %2). "
                          "Две копии в одной папке испортили бы общие рабочие файлы. "
                          "Переключитесь на неё или дождитесь её завершения.")
               .arg(folder)
               .arg(pid);
  } else {
    text = QStringLiteral("Не удалось создать файл блокировки %1%2: нет доступа к папке на запись.")
               .arg(folder, FileName());
  }
  if (message) *message = text;
  return false;
}
