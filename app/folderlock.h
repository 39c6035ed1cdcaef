#pragma once
// One copy of the program per folder: two copies would resume the same queue and overwrite
// each other's working files. A lock file beside the working files, taken at start-up; one
// left by a crashed copy is taken over.

#include <QLockFile>
#include <QString>
#include <memory>

#include "platform/fileoutcome.h"

class FolderLock {
 public:
  // dir: the folder of the working files, ending in '/'.
  explicit FolderLock(const QString& dir);

  // Done once this copy holds the folder. Otherwise the reason says why, for a message box.
  FileOutcome Take();

  static QString FileName() { return QStringLiteral("orgharvester.lock"); }

 private:
  QString dir_;
  std::unique_ptr<QLockFile> lock_;
};
