#pragma once
// What the window tests share: scripted message boxes and a scratch folder for the
// window's files.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <limits>
#include <memory>

#include "app/dialogs.h"
#include "app/mainform.h"
#include "portal/curlglobal.h"

// What the program's main does before any thread starts, for the whole test process.
inline void SetUpProcess() { static const CurlGlobal curl; }

// Records every message box and answers the questions from a script (Yes when it runs out).
class FakeDialogs : public Dialogs {
 public:
  void Error(const QString& text) override { errors.append(text); }
  void Info(const QString& text) override {
    infos.append(text);
    if (onInfo) onInfo();
  }
  bool Ask(const QString& text) override {
    questions.append(text);
    return answers.isEmpty() ? true : answers.takeFirst();
  }

  QStringList errors;
  QStringList infos;
  QStringList questions;
  QList<bool> answers;
  std::function<void()> onInfo;  // runs while the message is "open"
};

// A temporary folder standing in for the folder of the executable.
class ScratchDir {
 public:
  ScratchDir() { Q_ASSERT(dir_.isValid()); }
  QString Path() const { return dir_.path() + QLatin1Char('/'); }
  QString File(const QString& name) const { return Path() + name; }

  void Write(const QString& name, const QByteArray& bytes) const {
    QFile file(File(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
      qFatal("cannot write %s", qPrintable(File(name)));
  }
  QByteArray Read(const QString& name) const {
    QFile file(File(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }
  bool Exists(const QString& name) const { return QFile::exists(File(name)); }
  // A folder in the place of a file: reading it fails, and so does replacing it.
  void Block(const QString& name) const {
    QDir(Path()).mkpath(name + QStringLiteral("/inside"));
  }

 private:
  QTemporaryDir dir_;
};

inline QByteArray Utf8WithMark(const QString& text) {
  return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
}

// n lines of a working file, each ended by CR LF.
inline QByteArray Lines(int n, const char* prefix = "task") {
  QByteArray bytes;
  for (int i = 0; i < n; ++i) bytes += QByteArray(prefix) + QByteArray::number(i) + "\r\n";
  return bytes;
}

// The window over a scratch folder, with scripted message boxes and a counted quit. A job
// still running when the fixture goes is stopped and awaited, so none outlives a test.
struct TestWindow {
  explicit TestWindow(const ScratchDir& dir, HarvestSettings settings = HarvestSettings(),
                      int jobTimeoutMs = 60000)
      : dialogs(std::make_shared<FakeDialogs>()),
        form(std::make_unique<TMainForm>(dir.Path(), std::move(settings), dialogs)),
        jobTimeoutMs_(jobTimeoutMs) {
    form->SetQuitAction([this] { ++quits; });
  }
  ~TestWindow() {
    // A plain wait: the QTRY macros give up at once once the test has failed.
    if (form != nullptr && form->Job() != nullptr) {
      form->StopButtonClick();
      const QDeadlineTimer deadline(jobTimeoutMs_);
      while (form->Job() != nullptr && !deadline.hasExpired()) QTest::qWait(10);
    }
  }
  void Show() {
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
  }
  QStringList LogLines() const {
    return form->LogsMemo->toPlainText().split(QLatin1Char('\n'));
  }
  // The log's lines as the job reads them back: none for an empty log.
  QStringList JobLogLines() const { return form->LogLinesFrom(0, std::numeric_limits<qsizetype>::max()); }

  std::shared_ptr<FakeDialogs> dialogs;
  std::unique_ptr<TMainForm> form;
  int quits = 0;

 private:
  int jobTimeoutMs_;
};
