#pragma once
// What a file operation reports, and the only way it reports: done; done but not yet safe on
// the disk (a file put in place in a folder whose file system cannot make the change durable,
// as network shares do); or failed, with the reason. Reasons are the program's own words in
// Russian: what went wrong and what the user can do about it. The caller names the file.
// An outcome cannot be dropped: the build fails on an ignored one.

#include <QString>
#include <utility>

struct [[nodiscard]] FileOutcome {
  bool ok = false;
  // For a failure, why. For a file in place in a folder that was not synced, what is and is
  // not guaranteed there. Empty when plainly done.
  QString reason;
  // Done, but the folder's entry may not be on the disk yet: the new file is in place and
  // counts as written; only a power loss or a crash of the system could bring back the old.
  bool folderNotSynced = false;

  static FileOutcome Done() { return {true, {}, false}; }
  static FileOutcome Failed(QString why) { return {false, std::move(why), false}; }
  static FileOutcome InPlaceFolderNotSynced(QString what) { return {true, std::move(what), true}; }
  // Written (plainly, or in place without the folder's sync).
  explicit operator bool() const { return ok; }
};
