#pragma once
// A small file system of its own (tmpfs) for tests of a full disk: mounted over a fresh
// folder when the tests run as root, unmounted with the object. Where mounting is not
// allowed, Available() is false and the test says it was skipped.

#include <sys/mount.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

class SmallDisk {
 public:
  explicit SmallDisk(int kib) {
    if (::geteuid() != 0 || !tmp_.isValid()) return;
    const QByteArray options = "size=" + QByteArray::number(kib) + "k";
    mounted_ = ::mount("tmpfs", QFile::encodeName(tmp_.path()).constData(), "tmpfs", 0,
                       options.constData()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(QFile::encodeName(tmp_.path()).constData(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool Available() const { return mounted_; }
  QString Path() const { return tmp_.path() + QLatin1Char('/'); }

  // Takes all the room that is left (a file of zeros), so that the next write fails.
  void Fill() const {
    QFile filler(Path() + QStringLiteral("filler") + QString::number(fills_++));
    if (!filler.open(QIODevice::WriteOnly)) return;
    const QByteArray block(4096, '\0');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    // The last partial block too.
    while (filler.write(block.left(1)) == 1 && filler.flush()) {
    }
  }
  // Gives the room back.
  void Free() const {
    for (const QString& name : QDir(Path()).entryList({QStringLiteral("filler*")}))
      QFile::remove(Path() + name);
  }

 private:
  QTemporaryDir tmp_;
  bool mounted_ = false;
  mutable int fills_ = 0;
};
