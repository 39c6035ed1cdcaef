#pragma once
// The job's only way to the window. The window implements every call by running it on its
// own thread while the calling thread waits; tests implement it with a recorder. No call
// is ever made from the window's own thread.

#include <QList>
#include <QString>
#include <QStringList>

#include "platform/logsink.h"

// A selected entry of the region list: its shown name and its region key.
struct RegionItem {
  QString name;
  QString key;
};

class JobView : public LogSink {
 public:
  // The run's inputs, read from the window's controls.
  virtual QList<RegionItem> SelectedRegions() = 0;
  virtual int ReadLimit() = 0;          // the thread-count spin edit
  virtual bool ReadAdditional() = 0;    // the additional-information check box

  // The log view.
  virtual void ClearLog() = 0;
  // The log's lines from `first` on, at most `count` of them (fewer at the end). A long log is
  // read in blocks, so it is never held a second time as a whole.
  virtual QStringList LogLinesFrom(qsizetype first, qsizetype count) = 0;

  // Progress bar (maximum, position, hint shown on hover) and the two counter labels.
  virtual void SetProgress(int maximum, int position, const QString& hint) = 0;
  virtual void SetCounters(const QString& foundText, const QString& writtenText) = 0;

  // Region list, start button and check box: disabled while a run goes on.
  virtual void SetRunControlsEnabled(bool enabled) = 0;

  // An error the user must act on before the next start, shown in a message box; the job
  // does not wait for it to be closed.
  virtual void ShowErrorMessage(const QString& text) = 0;

  // Arms the window's one-shot resume timer.
  virtual void ArmResumeTimer(int intervalMs) = 0;

  // The job's very last call: after it the job object is gone for the window.
  virtual void JobEnded() = 0;
};
