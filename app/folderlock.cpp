#include "app/folderlock.h"

#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QSysInfo>

FolderLock::FolderLock(const QString& dir) : dir_(dir) {
  lock_ = std::make_unique<QLockFile>(dir_ + FileName());
  // A lock is stale only when its copy is gone, never because it is old: a harvest runs for
  // hours.
  lock_->setStaleLockTime(0);
}

namespace {

// Why a file cannot be made in the folder, with what to do: the lock file itself does not
// tell a full disk from a read-only folder.
QString WhyNoFileCanBeMade(const QString& dir) {
  const QString path = dir + QStringLiteral("orgharvester.lock.check");
  SysFile probe;
  FileOutcome made = probe.Open(path, SysFile::Mode::kFresh);
  if (made) made = probe.Write("x", 1);
  if (made) made = probe.Sync();
  if (FileOutcome closed = probe.Close(); !closed && made) made = closed;
  // Only a probe: one left behind is replaced by the next.
  static_cast<void>(RemoveFile(path));
  return made ? QString() : made.reason;
}

}  // namespace

FileOutcome FolderLock::Take() {
  if (lock_->tryLock(0)) return FileOutcome::Done();
  const QString folder = QDir::toNativeSeparators(dir_);
  const QString file = QDir::toNativeSeparators(dir_ + FileName());
  QString text;
  switch (lock_->error()) {
    case QLockFile::LockFailedError: {
      qint64 pid = 0;
      QString host, app;
      lock_->getLockInfo(&pid, &host, &app);
      if (!host.isEmpty() && host != QSysInfo::machineHostName()) {
        // Whether that copy still runs cannot be seen from here: the user has to say so.
        text = QStringLiteral("Папку %1 занял другой компьютер: %2 (процесс %3). Две копии в одной папке "
                              "испортили бы общие рабочие файлы. Если на компьютере %2 программа уже не "
                              "работает (закрыта, компьютер выключен или программа завершилась аварийно), "
                              "удалите файл %4 и запустите программу снова.")
                   .arg(folder, host, QString::number(pid), file);
      } else {
        text = QStringLiteral("В папке %1 уже работает другая копия программы (процесс %2). "
                              "Две копии в одной папке испортили бы общие рабочие файлы. "
                              "Переключитесь на неё или дождитесь её завершения.")
                   .arg(folder, QString::number(pid));
      }
      break;
    }
    case QLockFile::PermissionError:
      text = QStringLiteral("Не удалось создать файл блокировки %1: нет доступа к папке на запись.").arg(file);
      break;
    default: {
      const QString reason = WhyNoFileCanBeMade(dir_);
      text = QStringLiteral("Не удалось создать файл блокировки %1: %2.")
                 .arg(file, reason.isEmpty() ? QStringLiteral("неизвестная ошибка") : reason);
      break;
    }
  }
  return FileOutcome::Failed(text);
}
