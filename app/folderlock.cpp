#include "app/folderlock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QSet>
#include <QTemporaryDir>

FolderLock::FolderLock(const QString& dir) : dir_(dir) {
  lock_ = std::make_unique<QLockFile>(dir_ + FileName());
  // A lock is stale only when its copy is gone, never because it is old: a harvest runs for
  // hours.
  lock_->setStaleLockTime(0);
}

namespace {

// The lock files this process holds through a FolderLock: a lock that names this process's id
// and is not among them was left by an earlier process that had the same id.
QMutex heldMutex;
QSet<QString>& HeldByThisProcess() {
  static QSet<QString> held;
  return held;
}

// Why a file cannot be made in the folder, as the system says it: the lock file itself does
// not tell a full disk from a read-only folder.
QString WhyNoFileCanBeMade(const QString& dir) {
  QFile probe(dir + QStringLiteral("orgharvester.lock.check"));
  QString reason;
  if (!probe.open(QIODevice::WriteOnly) || probe.write("x", 1) != 1 || !probe.flush()) reason = probe.errorString();
  probe.close();
  probe.remove();
  return reason;
}

}  // namespace

FolderLock::~FolderLock() {
  if (!held_) return;
  QMutexLocker locker(&heldMutex);
  HeldByThisProcess().remove(dir_ + FileName());
}

QString LockHostName() {
  static const QString name = [] {
    // Asked of the toolkit itself: a lock taken in a scratch folder says what it writes.
    QTemporaryDir scratch;
    if (!scratch.isValid()) return QString();
    QLockFile probe(scratch.path() + QStringLiteral("/probe.lock"));
    if (!probe.tryLock(0)) return QString();
    qint64 pid = 0;
    QString host, app;
    probe.getLockInfo(&pid, &host, &app);
    probe.unlock();
    return host;
  }();
  return name;
}

FileOutcome FolderLock::Take() {
  const QString path = dir_ + FileName();
  bool taken = lock_->tryLock(0);
  if (!taken && lock_->error() == QLockFile::LockFailedError) {
    qint64 pid = 0;
    QString host, app;
    QMutexLocker locker(&heldMutex);
    // This process's own id in a lock it does not hold: no live copy can have that id, so
    // the lock is a crashed copy's (the toolkit sees a running process and keeps it).
    if (lock_->getLockInfo(&pid, &host, &app) && pid == QCoreApplication::applicationPid() &&
        (host.isEmpty() || host == LockHostName()) && !HeldByThisProcess().contains(path)) {
      lock_->removeStaleLockFile();
      taken = lock_->tryLock(0);
    }
  }
  if (taken) {
    QMutexLocker locker(&heldMutex);
    HeldByThisProcess().insert(path);
    held_ = true;
    return FileOutcome::Done();
  }
  const QString folder = QDir::toNativeSeparators(dir_);
  const QString file = QDir::toNativeSeparators(dir_ + FileName());
  QString text;
  switch (lock_->error()) {
    case QLockFile::LockFailedError: {
      qint64 pid = 0;
      QString host, app;
      lock_->getLockInfo(&pid, &host, &app);
      // Compared with the name the toolkit writes: a copy on this computer is never taken for
      // another computer's, whose lock the user would be told to delete.
      if (!host.isEmpty() && host != LockHostName()) {
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
