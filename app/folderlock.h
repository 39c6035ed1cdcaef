#pragma once
// One copy of the program per folder: two copies would resume the same queue and overwrite
// each other's working files. A lock file beside the working files, taken at start-up; one
// left by a crashed copy is taken over, also when the system has since given its process id
// to this very copy (ids are reused after a restart).

#include <QLockFile>
#include <QString>
#include <memory>

#include "platform/fileoutcome.h"

class FolderLock {
 public:
  // dir: the folder of the working files, ending in '/'.
  explicit FolderLock(const QString& dir);

  ~FolderLock();

  // Done once this copy holds the folder. Otherwise the reason says why, for a message box.
  [[nodiscard]] FileOutcome Take();

  static QString FileName() { return QStringLiteral("orgharvester.lock"); }

 private:
  QString dir_;
  std::unique_ptr<QLockFile> lock_;
  bool held_ = false;
};

// The computer's name as the toolkit writes it into a lock file (on Windows the NetBIOS name,
// not the DNS host name): the only name a lock of this computer can be compared with.
QString LockHostName();
