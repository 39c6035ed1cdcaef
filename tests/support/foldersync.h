#pragma once
// A folder whose file system cannot sync it, as network shares (CIFS/SMB), the shared folders
// of virtual machines and some WSL mounts are: while on, every fsync of a folder in this
// process fails with EINVAL, the way those file systems answer. Files themselves still sync.
// Linux only (foldersync_posix.cpp stands in for the C library's fsync); Windows syncs no
// folder.

// On or off; off again when the scope ends.
class FolderSyncFails {
 public:
  FolderSyncFails();
  ~FolderSyncFails();
  FolderSyncFails(const FolderSyncFails&) = delete;
  FolderSyncFails& operator=(const FolderSyncFails&) = delete;

  // Folder syncs refused so far while on.
  static int Refused();
};
