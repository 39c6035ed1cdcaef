#pragma once
// A stand-in for the desktop's opener: a script named xdg-open in a folder of its own, which
// the tests put first on PATH, with a desktop session pretended. The environment is restored
// when the object goes.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

class FakeOpener {
 public:
  // body: the script after its first line; "$1" is the file to open. Empty: no xdg-open at all.
  explicit FakeOpener(const QByteArray& body, bool session = true) {
    for (const char* name : {"PATH", "DISPLAY", "WAYLAND_DISPLAY"}) saved_.append({name, qgetenv(name), qEnvironmentVariableIsSet(name)});
    if (!body.isEmpty()) {
      QFile script(dir_.filePath(QStringLiteral("xdg-open")));
      if (script.open(QIODevice::WriteOnly)) script.write("#!/bin/sh\n" + body + "\n");
      script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    // Only the fake on PATH: the real opener must not be found instead.
    qputenv("PATH", QFile::encodeName(dir_.path()));
    qunsetenv("WAYLAND_DISPLAY");
    if (session)
      qputenv("DISPLAY", ":99");
    else
      qunsetenv("DISPLAY");
  }
  ~FakeOpener() {
    for (const Saved& s : saved_) {
      if (s.set)
        qputenv(s.name, s.value);
      else
        qunsetenv(s.name);
    }
  }
  // A file beside the script, for what the script leaves behind.
  QString File(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }

 private:
  struct Saved {
    const char* name;
    QByteArray value;
    bool set;
  };
  QTemporaryDir dir_;
  QList<Saved> saved_;
};
