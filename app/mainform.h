#pragma once
// The program's one window: the region list with its saved selection, the run controls, the
// log view and the progress bar. It is also the harvest job's only surface (JobView): every
// call the job or a worker makes from its own thread is run here on the window's thread
// while the caller waits.

#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

#include "app/dialogs.h"
#include "app/logview.h"
#include "harvest/jobview.h"
#include "harvest/scraper.h"
#include "platform/fileoutcome.h"

class QCheckBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTimer;

// The caption of the window and the title of the application (taskbar, message boxes).
QString AppTitle();

class TMainForm : public QWidget, public JobView {
  Q_OBJECT

 public:
  // dir: the folder of "cities.txt", "selection.txt" and the working files, ending in '/'
  // (empty: the folder of the executable). settings: the template every job is created
  // from; its dir is set to the window's folder. dialogs: message boxes (empty: the real ones).
  explicit TMainForm(QString dir = QString(), HarvestSettings settings = HarvestSettings(),
                     std::shared_ptr<Dialogs> dialogs = nullptr, QWidget* parent = nullptr);
  ~TMainForm() override;

  // What ends the program once the window has closed (the application's quit by default).
  void SetQuitAction(std::function<void()> quit) { quit_ = std::move(quit); }

  // The running job, empty once it has ended.
  TScraper* Job() const { return CurrentJob.data(); }
  bool IsClosing() const { return closing_; }

  // Controls, named as in the designer (objectName carries the same name).
  QLabel* Label1;
  QListWidget* CitiesListBox;
  QPushButton* SelectAllCitiesButton;
  QPushButton* StartButton;
  QSpinBox* LimitEdit;
  QPushButton* PauseButton;
  QPushButton* StopButton;
  QLabel* Label4;
  QLabel* Label3;
  QCheckBox* AdditionalCheckBox;
  QLabel* Label2;
  TLogView* LogsMemo;
  QProgressBar* ProgressBar;
  QTimer* ResumeTimer;

  // Event handlers.
  void FormShow();
  bool FormClose();  // false: the selection could not be saved, the window stays open
  // The session ends or the process is told to end (SIGTERM, SIGINT, SIGHUP): what closing
  // the window does, but without asking anything (a selection that cannot be saved is only
  // logged): a run is stopped, saves its work and its log, then the program quits.
  void EndSession();
  // The session manager asks for the program's data before a logout that may still be
  // cancelled: the selection is saved and a run saves its state at once, but goes on. The
  // end itself comes later (aboutToQuit, a signal), or never when the logout is cancelled.
  void CommitSessionData();
  // Where the system ends the process as soon as the program says it quits (the Windows
  // session's end): ends the session, then keeps the events flowing until the run has saved
  // its work, for at most `ms` milliseconds. Returns at once without a run.
  void WaitForJobEnd(int ms);
  void SelectAllCitiesButtonClick();
  void AdditionalCheckBoxClick();
  void StartButtonClick();
  void PauseButtonClick();
  void ResumeTimerTimer();
  void StopButtonClick();

  // JobView and LogSink: safe to call from any thread.
  QList<RegionItem> SelectedRegions() override;
  int ReadLimit() override;
  bool ReadAdditional() override;
  void ClearLog() override;
  QStringList LogLinesFrom(qsizetype first, qsizetype count) override;
  void AddLogLine(const QString& line) override;
  void SetProgress(int maximum, int position, const QString& hint) override;
  void SetCounters(const QString& foundText, const QString& writtenText) override;
  void SetRunControlsEnabled(bool enabled) override;
  void ShowErrorMessage(const QString& text) override;
  void ArmResumeTimer(int intervalMs) override;
  void JobEnded() override;

 signals:
  // The job has reported its end (after JobEnded has cleared the window's reference).
  void JobFinished();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // Runs f on the window's thread: directly when already there, otherwise as a queued call
  // that the calling thread waits for (waiting on the window's own thread would deadlock).
  template <typename F>
  auto OnWindowThread(F f) -> decltype(f());

  // Where every control goes in a client area of w x h, and how much more room the captions
  // would need there.
  struct Layout {
    QRect regionsLabel, list, all, start, limit, pause, stop, found, written, additional,
        logLabel, log, progress;
    int missingWidth = 0;
    int missingHeight = 0;
  };
  Layout ComputeLayout(int w, int h) const;
  QSize MinimumLayoutSize() const;
  void UpdateMinimumSize();
  void CreateControls();
  void PlaceControls();
  void Log(const QString& message);
  // The job as the run controls see it: present and not yet past its end notification.
  bool JobRunning() const;
  // The pause control pressed in exactly while the job is held.
  void ShowHeld();
  // "lists.dat" / "cards.dat" at start; false: a file could not be read, start nothing.
  bool SettleLeftovers();
  // Writes "selection.txt"; a failure's reason is the whole message ("Cannot create file ...").
  FileOutcome SaveSelection();
  // Loads the client certificate and key once for the run into *fetch (unless it already
  // carries them); false: a message box has said what is wrong, start nothing.
  bool LoadClientIdentity(FetchSettings* fetch);
  void Quit();

  QString dir_;
  HarvestSettings settings_;
  std::shared_ptr<Dialogs> dialogs_;
  std::function<void()> quit_;

  QPointer<TScraper> CurrentJob;
  bool laidOut_ = false;  // the controls exist and have their places
  bool shown_ = false;
  bool starting_ = false;  // inside StartButtonClick (its questions run a modal loop)
  bool runEnding_ = false;    // the job has handed the controls back and is finishing
  bool startQueued_ = false;  // "СТАРТ" pressed meanwhile: start once the job is gone
  bool closing_ = false;   // closed during a run: quit once the job has ended
  // A logout has asked for the data: a close from now on is the program's end.
  bool sessionEnding_ = false;
  // Lines the window logged while settling a start: the job clears the log as its run begins,
  // and they are shown again after it.
  QStringList startLines_;
};
