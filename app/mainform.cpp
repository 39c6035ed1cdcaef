#include "app/mainform.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSpinBox>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <climits>
#include <future>
#include <memory>
#include <type_traits>

#include "app/regionlist.h"
#include "harvest/harvestend.h"
#include "harvest/runstore.h"
#include "harvest/workfiles.h"
#include "portal/httpclient.h"
#include "portal/tlsidentity.h"
#include "text/textfile.h"

QString AppTitle() {
  return QStringLiteral("Сбор управляющих организаций с портала реестра ЖКХ");
}

namespace {

// The window's design: client area and the place of every control in it.
constexpr int kDesignWidth = 984;
constexpr int kDesignHeight = 424;
constexpr int kProgressHeight = 17;
constexpr int kListRight = 8 + 257;  // the region list's right edge

// Tahoma where it is installed, otherwise the nearest face: DejaVu Sans Condensed has about
// Tahoma's width, so the captions fit their controls as designed.
QString WindowFontFamily() {
  const QStringList families = QFontDatabase::families();
  for (const char* name : {"Tahoma", "DejaVu Sans Condensed", "DejaVu Sans"}) {
    const QString family = QString::fromLatin1(name);
    if (families.contains(family, Qt::CaseInsensitive)) return family;
  }
  return QString();
}

QFont WindowFont(int pixelSize) {
  QFont font(WindowFontFamily());
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixelSize);
  return font;
}

const QString kAdditionalMessage = QStringLiteral(
    "В этом режиме сбор будет идти медленно (сайт медленно отдаёт доп. данные), и не более "
    "чем в один поток (при превышении интенсивности будут временные блокировки)!");

}  // namespace

TMainForm::TMainForm(QString dir, HarvestSettings settings, std::shared_ptr<Dialogs> dialogs,
                     QWidget* parent)
    : QWidget(parent), dir_(std::move(dir)), settings_(std::move(settings)),
      dialogs_(std::move(dialogs)) {
  if (dir_.isEmpty()) dir_ = ExecutableDir();
  if (!dir_.endsWith(QLatin1Char('/'))) dir_ += QLatin1Char('/');
  settings_.dir = dir_;
  if (!dialogs_) dialogs_ = std::make_shared<MessageBoxDialogs>(this);

  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(AppTitle());
  setFont(WindowFont(11));
  CreateControls();
  // Smaller than this the right-anchored controls would run over the region list, or the
  // captions into each other.
  UpdateMinimumSize();
  resize(std::max(kDesignWidth, minimumWidth()), std::max(kDesignHeight, minimumHeight()));
  PlaceControls();
  laidOut_ = true;
}

TMainForm::~TMainForm() {
  // Last resort for a window destroyed with its job still running (the program's own close
  // waits for the job's end first): the job still calls this window, so stop it and serve
  // its calls until it has reported its end. Events are processed by hand, without a nested
  // loop and without a time limit: a loop would return at once once the application has been
  // told to quit, and either way the controls would go while the job still uses them.
  if (!CurrentJob) return;
  if (CurrentJob->IsHeld()) CurrentJob->Release();
  CurrentJob->RequestStop();
  while (CurrentJob) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void TMainForm::CreateControls() {
  Label1 = new QLabel(QStringLiteral("Регионы"), this);
  Label1->setObjectName(QStringLiteral("Label1"));

  CitiesListBox = new QListWidget(this);
  CitiesListBox->setObjectName(QStringLiteral("CitiesListBox"));
  CitiesListBox->setSelectionMode(QAbstractItemView::ExtendedSelection);
  CitiesListBox->setSortingEnabled(false);
  CitiesListBox->setUniformItemSizes(true);

  SelectAllCitiesButton = new QPushButton(QStringLiteral("все"), this);
  SelectAllCitiesButton->setObjectName(QStringLiteral("SelectAllCitiesButton"));

  StartButton = new QPushButton(QStringLiteral("СТАРТ"), this);
  StartButton->setObjectName(QStringLiteral("StartButton"));
  StartButton->setFont(WindowFont(19));

  LimitEdit = new QSpinBox(this);
  LimitEdit->setObjectName(QStringLiteral("LimitEdit"));
  // At least one download thread: with none a run could neither go on nor end.
  LimitEdit->setRange(1, INT_MAX);
  LimitEdit->setSingleStep(1);
  LimitEdit->setValue(3);
  LimitEdit->setToolTip(QStringLiteral("Число потоков выгрузки"));

  PauseButton = new QPushButton(QStringLiteral("пауза"), this);
  PauseButton->setObjectName(QStringLiteral("PauseButton"));
  // Pressed in while the run is held, by the user or after an error; the caption stays.
  PauseButton->setCheckable(true);

  StopButton = new QPushButton(QStringLiteral("стоп"), this);
  StopButton->setObjectName(QStringLiteral("StopButton"));

  Label4 = new QLabel(QStringLiteral("Найдено организаций: 0"), this);
  Label4->setObjectName(QStringLiteral("Label4"));

  Label3 = new QLabel(QStringLiteral("Записано организаций: 0"), this);
  Label3->setObjectName(QStringLiteral("Label3"));

  AdditionalCheckBox = new QCheckBox(
      QStringLiteral("Загружать данные из вкладки \"Дополнительная информация\""), this);
  AdditionalCheckBox->setObjectName(QStringLiteral("AdditionalCheckBox"));
  AdditionalCheckBox->setChecked(false);

  Label2 = new QLabel(QStringLiteral("Логи"), this);
  Label2->setObjectName(QStringLiteral("Label2"));

  LogsMemo = new TLogView(this);
  LogsMemo->setObjectName(QStringLiteral("LogsMemo"));
  LogsMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  LogsMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  ProgressBar = new QProgressBar(this);
  ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
  ProgressBar->setTextVisible(false);
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(0);
  ProgressBar->setFocusPolicy(Qt::NoFocus);
  ProgressBar->setStyleSheet(QStringLiteral(
      "QProgressBar { border: 1px solid #a0a0a0; background: #f4f4f4; }"
      "QProgressBar::chunk { background: qlineargradient(x1:0, y1:0, x2:1, y2:0,"
      " stop:0 #1f9e1f, stop:1 #c8f5c8); }"));

  ResumeTimer = new QTimer(this);
  ResumeTimer->setObjectName(QStringLiteral("ResumeTimer"));
  ResumeTimer->setSingleShot(true);

  for (QLabel* label : {Label1, Label2, Label3, Label4}) label->setFocusPolicy(Qt::NoFocus);

  // Tab order as designed: list, start, pause, stop, log, "все", thread count, check box.
  QWidget* order[] = {CitiesListBox, StartButton,           PauseButton, StopButton,
                      LogsMemo,      SelectAllCitiesButton, LimitEdit,   AdditionalCheckBox};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  // "все" lies over the list's lower right corner and must stay on top of it.
  SelectAllCitiesButton->raise();

  connect(SelectAllCitiesButton, &QPushButton::clicked, this,
          &TMainForm::SelectAllCitiesButtonClick);
  connect(AdditionalCheckBox, &QCheckBox::clicked, this, &TMainForm::AdditionalCheckBoxClick);
  connect(StartButton, &QPushButton::clicked, this, &TMainForm::StartButtonClick);
  connect(PauseButton, &QPushButton::clicked, this, &TMainForm::PauseButtonClick);
  connect(StopButton, &QPushButton::clicked, this, &TMainForm::StopButtonClick);
  connect(ResumeTimer, &QTimer::timeout, this, &TMainForm::ResumeTimerTimer);
}

namespace {

// Room a push button needs for its caption: the text, the style's margins and a few pixels
// to breathe (the style's own size hint adds a minimum width the design does not have).
int ButtonTextWidth(const QPushButton* button) {
  const QStyle* style = button->style();
  return button->fontMetrics().horizontalAdvance(button->text()) +
         style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) +
         2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button) + 4;
}

int ButtonTextHeight(const QPushButton* button) { return button->fontMetrics().height() + 8; }

// The counters are placed once per resize but change during a run: they keep room for this
// many digits.
const QString kWidestFound = QStringLiteral("Найдено организаций: 00000000");
const QString kWidestWritten = QStringLiteral("Записано организаций: 00000000");

}  // namespace

TMainForm::Layout TMainForm::ComputeLayout(int w, int h) const {
  // The design's places (984 x 424) wherever the captions fit them; a face wider than the
  // design's (the system's fallback, another scale) moves and widens controls just as far as
  // their text needs, and MinimumLayoutSize keeps the window wide enough for that.
  Layout l;
  const int dx = w - kDesignWidth;
  const int bottom = h - kProgressHeight - 6;  // where the list and the log end
  const int labelHeight = std::max(Label1->sizeHint().height(), Label1->fontMetrics().height());
  const int labelGap = 2;

  // The right column: pause and stop above, the counters below.
  const int pauseWidth = std::max(75, ButtonTextWidth(PauseButton));
  const int stopWidth = std::max(75, ButtonTextWidth(StopButton));
  const int smallButtonHeight = std::max({25, ButtonTextHeight(PauseButton), ButtonTextHeight(StopButton)});
  const QFontMetrics labels = Label4->fontMetrics();
  const int counterWidth =
      std::max({labels.horizontalAdvance(kWidestFound), labels.horizontalAdvance(kWidestWritten),
                Label4->sizeHint().width(), Label3->sizeHint().width()}) + 4;
  // Design: counters at 792, pause at 820, stop ending 8 before the edge, counters 4 before it.
  const int columnWidth = std::max({kDesignWidth - 792, counterWidth + 4, 28 + pauseWidth + 6 + stopWidth + 8});
  const int column = w - columnWidth;
  l.stop = QRect(w - 8 - stopWidth, 8, stopWidth, smallButtonHeight);
  l.pause = QRect(l.stop.left() - 6 - pauseWidth, 8, pauseWidth, smallButtonHeight);
  l.found = QRect(column, std::max(37, l.pause.bottom() + 1 + labelGap), w - 4 - column, labelHeight);
  l.written = QRect(column, std::max(51, l.found.bottom() + 1), w - 4 - column, labelHeight);

  // The thread count and "СТАРТ" to the left of the column; "СТАРТ" gives up width first.
  // Room for two digits: the spin box's own hint makes room for its largest value.
  const QFontMetrics digits = LimitEdit->fontMetrics();
  const int spinExtras = LimitEdit->minimumSizeHint().width() -
                         digits.horizontalAdvance(QString::number(LimitEdit->maximum()) + u' ') - 2;
  const int limitWidth = std::max(42, spinExtras + digits.horizontalAdvance(QStringLiteral("99 ")) + 2);
  const int limitHeight = std::max(21, LimitEdit->fontMetrics().height() + 6);
  l.limit = QRect(column - 7 - limitWidth, 19, limitWidth, limitHeight);
  const int startRight = l.limit.left() - 6;
  const int startLeft = std::max(std::min(291 + dx, startRight - ButtonTextWidth(StartButton)), kListRight + 6);
  l.start = QRect(startLeft, 8, std::max(0, startRight - startLeft),
                  std::max(37, ButtonTextHeight(StartButton)));

  // The region list on the left, "все" over its lower right corner.
  l.regionsLabel = QRect(8, 8, Label1->sizeHint().width(), labelHeight);
  const int listTop = std::max(27, l.regionsLabel.bottom() + 1 + labelGap);
  l.list = QRect(8, listTop, kListRight - 8, std::max(0, bottom - listTop));
  const int allWidth = std::max(41, ButtonTextWidth(SelectAllCitiesButton));
  const int allHeight = std::max(25, ButtonTextHeight(SelectAllCitiesButton));
  l.all = QRect(251 - allWidth, bottom - allHeight, allWidth, allHeight);

  // "Логи" and the check box under "СТАРТ"; the check box moves left, towards "Логи", when its
  // caption would run into the counters.
  const int belowStart = l.start.bottom() + 1 + labelGap;
  l.logLabel = QRect(271, std::max(51, belowStart), Label2->sizeHint().width(), labelHeight);
  const QSize box = AdditionalCheckBox->sizeHint();
  const int boxLeft = std::max(std::min(404, column - 6 - box.width()), l.logLabel.right() + 1 + 12);
  l.additional = QRect(boxLeft, std::max(47, belowStart), box.width(), std::max(17, box.height()));

  // The log fills what is left down to the progress bar.
  const int logTop = std::max({70, l.logLabel.bottom() + 1 + labelGap, l.additional.bottom() + 1 + labelGap,
                               l.written.bottom() + 1 + labelGap});
  l.log = QRect(271, logTop, std::max(0, w - 8 - 271), std::max(0, bottom - logTop));
  l.progress = QRect(0, h - kProgressHeight, w, kProgressHeight);

  // What the captions need beyond the window's present size.
  const int startNeed = ButtonTextWidth(StartButton) - l.start.width();
  const int boxNeed = (l.additional.right() + 1 + 6) - column;
  l.missingWidth = std::max({0, startNeed, boxNeed});
  l.missingHeight = std::max(0, (logTop + 40) - bottom);
  return l;
}

QSize TMainForm::MinimumLayoutSize() const {
  // The design's least size, widened by whatever the captions need at that size.
  const int w = kDesignWidth - 24;
  const int h = kDesignHeight - 200;
  const Layout l = ComputeLayout(w, h);
  return QSize(w + l.missingWidth, h + l.missingHeight);
}

void TMainForm::UpdateMinimumSize() {
  setMinimumSize(MinimumLayoutSize());
}

void TMainForm::PlaceControls() {
  const Layout l = ComputeLayout(width(), height());
  Label1->setGeometry(l.regionsLabel);
  CitiesListBox->setGeometry(l.list);
  SelectAllCitiesButton->setGeometry(l.all);
  StartButton->setGeometry(l.start);
  LimitEdit->setGeometry(l.limit);
  PauseButton->setGeometry(l.pause);
  StopButton->setGeometry(l.stop);
  Label4->setGeometry(l.found);
  Label3->setGeometry(l.written);
  AdditionalCheckBox->setGeometry(l.additional);
  Label2->setGeometry(l.logLabel);
  LogsMemo->setGeometry(l.log);
  ProgressBar->setGeometry(l.progress);
}

void TMainForm::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // Another font or style (a screen of another scale, a changed desktop font) needs other room.
  if (laidOut_ && (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)) {
    UpdateMinimumSize();
    PlaceControls();
  }
}

void TMainForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!shown_) {
    shown_ = true;
    FormShow();
  }
}

void TMainForm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  PlaceControls();
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (closing_) {  // already waiting for the job's end
    event->ignore();
    return;
  }
  // Closed by the end of the session (the toolkit closes the windows while the session asks
  // for the data, or once a logout has been asked for): the program's end, which saves first
  // and makes no workbook the next start can make.
  if (qGuiApp->isSavingSession() || sessionEnding_) {
    event->ignore();
    EndSession();
    return;
  }
  if (!FormClose()) {
    event->ignore();
    return;
  }
  if (CurrentJob) {
    // The job still calls this window: stop it, stay out of sight and keep the events
    // flowing until it reports its end (it then saves its queue and its log), then quit.
    closing_ = true;
    StopButtonClick();
    event->ignore();
    hide();
    return;
  }
  event->accept();
  Quit();
}

void TMainForm::Quit() {
  if (quit_)
    quit_();
  else
    QCoreApplication::quit();
}

// ---------------------------------------------------------------------------------------
// Region list and selection

void TMainForm::FormShow() {
  CitiesListBox->clear();

  const QString citiesPath = dir_ + QLatin1String(kCitiesFile);
  QStringList lines;
  if (const FileOutcome read = ReadTextLines(citiesPath, &lines); !read) {
    dialogs_->Error(CannotOpenFileMessage(citiesPath, read.reason));
    return;
  }
  const QFontMetrics metrics(CitiesListBox->font());
  // As designed, unless the face needs more.
  const int itemHeight = std::max(13, metrics.height());
  for (const QString& line : std::as_const(lines)) {
    const RegionItem region = ParseRegionLine(line);
    auto* item = new QListWidgetItem(region.name);
    item->setData(Qt::UserRole, region.key);
    item->setSizeHint(QSize(metrics.horizontalAdvance(region.name) + 6, itemHeight));
    CitiesListBox->addItem(item);
  }

  const QString selectionPath = dir_ + QLatin1String(kSelectionFile);
  if (!QFileInfo::exists(selectionPath)) return;
  QStringList saved;
  if (const FileOutcome read = ReadTextLines(selectionPath, &saved); !read) {
    dialogs_->Error(CannotOpenFileMessage(selectionPath, read.reason));
    return;
  }
  ApplySelection(CitiesListBox, saved);
}

FileOutcome TMainForm::SaveSelection() {
  QStringList names;
  for (const RegionItem& region : SelectedRegions()) names.append(region.name);
  const QString path = dir_ + QLatin1String(kSelectionFile);
  const FileOutcome written = WriteLinesAnsi(path, names);
  if (!written) return FileOutcome::Failed(CannotCreateFileMessage(path, written.reason));
  return written;
}

bool TMainForm::FormClose() {
  const FileOutcome saved = SaveSelection();
  if (!saved) dialogs_->Error(saved.reason);
  return saved.ok;
}

void TMainForm::EndSession() {
  // The program is being ended: the job saves its queue and its log first and leaves the
  // workbook to the next start; also when a close was already waiting for the job.
  const bool stopping = JobRunning();
  if (stopping) {
    if (CurrentJob->IsHeld()) CurrentJob->Release();
    CurrentJob->RequestStopForQuit();
  }
  if (closing_) return;
  closing_ = true;
  if (const FileOutcome saved = SaveSelection(); !saved) Log(QStringLiteral("Ошибка: ") + saved.reason);
  hide();
  if (CurrentJob) {
    // The job reports its end once saved, then the program quits (JobEnded).
    if (stopping) {
      Log(QStringLiteral("Останавливаем работу: программа закрывается"));
      ProgressBar->setValue(0);
      ShowHeld();
    }
    return;
  }
  Quit();
}

void TMainForm::CommitSessionData() {
  sessionEnding_ = true;
  if (const FileOutcome saved = SaveSelection(); !saved) Log(QStringLiteral("Ошибка: ") + saved.reason);
  if (JobRunning()) CurrentJob->RequestCheckpoint();
}

void TMainForm::WaitForJobEnd(int ms) {
  if (!CurrentJob) return;
  EndSession();
  QEventLoop loop;
  connect(this, &TMainForm::JobFinished, &loop, &QEventLoop::quit);
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  if (CurrentJob) loop.exec();
}

void TMainForm::SelectAllCitiesButtonClick() {
  // The list is disabled while a run goes on: its selection is the run's and stays as it was.
  if (!CitiesListBox->isEnabled()) return;
  CitiesListBox->selectAll();
}

void TMainForm::AdditionalCheckBoxClick() {
  if (!AdditionalCheckBox->isChecked()) return;
  dialogs_->Info(kAdditionalMessage);
  LimitEdit->setValue(1);
}

// ---------------------------------------------------------------------------------------
// Run control

void TMainForm::Log(const QString& message) { AddLogLine(LogLine(message)); }

bool TMainForm::SettleLeftovers() {
  const Leftovers left = RunStore::FindLeftovers(dir_, settings_.fetch.baseUrl);
  // A leftover file that cannot be read stops the start with the reason.
  const auto readable = [this](const FileOutcome& read) {
    if (!read) dialogs_->Error(read.reason);
    return read.ok;
  };
  // A "Да" that cannot be carried out stops the start: the job would resume the old queue
  // in place of the ticked regions.
  const auto discarded = [this](const FileOutcome& removed) {
    if (!removed)
      dialogs_->Error(removed.reason + QStringLiteral(". Работа не начата. Закройте программу, которая держит файл, "
                                                      "или разрешите его изменение и нажмите \"СТАРТ\" снова."));
    return removed.ok;
  };
  // The saved queue: asked about only for tasks a run would still send; "Да" removes it with
  // everything that goes with it (RunStore knows which files those are).
  if (left.savedQueue && !readable(left.queueRead)) return false;
  // A completed harvest that the program was ended before noting for the history is known
  // only from the saved state about to be removed.
  startLines_.clear();
  if (left.savedQueue && left.runnableTasks == 0)
    NoteHarvestLeftComplete(dir_, [this](const QString& message) {
      const QString line = LogLine(message);
      AddLogLine(line);
      startLines_.append(line);
    });
  if (left.savedQueue &&
      (left.runnableTasks == 0 || dialogs_->Ask(QStringLiteral("От прошлого запуска осталось %1 ссылок на списки "
                                                               "карточек. Удалить их и начать с начала?")
                                                    .arg(left.runnableTasks))) &&
      !discarded(RunStore::DiscardSavedWork(dir_)))
    return false;
  if (left.cardLinks && !readable(left.cardsRead)) return false;
  if (left.cardLinks &&
      (left.cardLinkCount == 0 || dialogs_->Ask(QStringLiteral("От прошлого запуска осталось %1 ссылок на карточки. "
                                                               "Удалить их и начать с начала?")
                                                    .arg(left.cardLinkCount))) &&
      !discarded(RunStore::DiscardCardLinks(dir_)))
    return false;
  return true;
}

namespace {

// The message box text for certificate and key files that cannot be used: which file, why,
// and what the user can do about it.
QString ClientIdentityMessage(const TlsIdentity& identity, const QString& certPath,
                              const QString& keyPath) {
  using Failure = TlsIdentity::Failure;
  QString file = keyPath;
  QString reason;
  QString remedy;
  switch (identity.LastFailure()) {
    case Failure::CertUnreadable:
      file = certPath;
      reason = QStringLiteral("файл сертификата отсутствует или не читается (%1)").arg(identity.LastReason());
      remedy = QStringLiteral("Положите файл сертификата клиента 01cert.pem по этому пути "
                              "(в папку, из которой запущена программа).");
      break;
    case Failure::CertNotPem:
      file = certPath;
      reason = QStringLiteral("в файле нет сертификата в формате PEM");
      remedy = QStringLiteral("Замените файл сертификатом клиента в формате PEM.");
      break;
    case Failure::KeyUnreadable:
      reason = QStringLiteral("файл ключа отсутствует или не читается (%1)").arg(identity.LastReason());
      remedy = QStringLiteral("Положите файл закрытого ключа 01key.pem по этому пути "
                              "(в папку, из которой запущена программа).");
      break;
    case Failure::KeyNotPem:
      reason = QStringLiteral("в файле нет закрытого ключа в формате PEM");
      remedy = QStringLiteral("Замените файл закрытым ключом, выданным вместе с сертификатом.");
      break;
    case Failure::NoPassphrase:
    case Failure::WrongPassphrase:
      reason = QStringLiteral("ключ не открывается паролем программы (неверный пароль)");
      remedy = QStringLiteral("Положите ключ, выданный для этой программы вместе с сертификатом, "
                              "или программу, собранную с паролем этого ключа.");
      break;
    case Failure::KeyMismatch:
      reason = QStringLiteral("ключ не соответствует сертификату %1").arg(certPath);
      remedy = QStringLiteral("Положите рядом сертификат и ключ из одного комплекта.");
      break;
    case Failure::None:
      break;
  }
  return QStringLiteral("Сертификат и ключ клиента не загружены, работа не начата.\n\n"
                        "Файл: %1\nПричина: %2\n\n%3")
      .arg(file, reason, remedy);
}

}  // namespace

bool TMainForm::LoadClientIdentity(FetchSettings* fetch) {
  if (fetch->identity) return true;
  // Named relative to the current directory; the message gives the full path.
  const QString certPath = QFileInfo(fetch->certFile).absoluteFilePath();
  const QString keyPath = QFileInfo(fetch->keyFile).absoluteFilePath();
  auto identity = std::make_shared<TlsIdentity>();
  QString error;
  if (!identity->Load(fetch->certFile, fetch->keyFile, fetch->keyPassphrase, &error)) {
    dialogs_->Error(ClientIdentityMessage(*identity, certPath, keyPath));
    return false;
  }
  fetch->identity = std::move(identity);
  return true;
}

bool TMainForm::JobRunning() const {
  return CurrentJob && !CurrentJob->IsEnded() && !runEnding_;
}

void TMainForm::StartButtonClick() {
  // One job at a time: a second press before the job has ended (its start disables the
  // button only a moment later) starts nothing.
  if (starting_ || closing_) return;
  if (CurrentJob) {
    // The job has enabled the button again but is still finishing (its aborted workers are
    // running down): the press is kept and served as soon as the job is gone.
    if (runEnding_) startQueued_ = true;
    return;
  }
  startQueued_ = false;
  starting_ = true;
  const auto done = qScopeGuard([this] { starting_ = false; });

  if (!SettleLeftovers()) return;
  if (closing_) return;  // closed while a question was open
  // Nothing to do: no region ticked (an entry without a key is none) and no saved queue.
  const QList<RegionItem> regions = SelectedRegions();
  if (!RunStore::SavedQueueExists(dir_) &&
      std::none_of(regions.begin(), regions.end(),
                   [](const RegionItem& r) { return !r.key.isEmpty(); })) {
    dialogs_->Info(QStringLiteral("Не выбран ни один регион"));
    return;
  }

  HarvestSettings settings = settings_;
  if (!LoadClientIdentity(&settings.fetch)) return;
  auto* job = new TScraper(this, settings);
  CurrentJob = job;
  if (settings_.beforeJobStart) settings_.beforeJobStart(*job);
  job->start();
  if (!job->isRunning() && !job->isFinished()) {
    // No thread could be made for it: it will never report its end, so it is not waited for.
    CurrentJob.clear();
    delete job;
    dialogs_->Error(QStringLiteral("Не удалось запустить задание: система не дала создать поток. "
                                   "Закройте лишние программы и нажмите \"СТАРТ\" снова."));
  }
}

void TMainForm::ShowHeld() { PauseButton->setChecked(JobRunning() && CurrentJob->IsHeld()); }

void TMainForm::PauseButtonClick() {
  // A click has already toggled the button: it shows the job's state again, whatever happens.
  const auto show = qScopeGuard([this] { ShowHeld(); });
  if (!JobRunning()) return;
  if (CurrentJob->IsHeld()) {
    CurrentJob->Release();
    Log(QStringLiteral("Отключаем паузу, продолжаем работу"));
  } else {
    // Disarmed first, so a pending automatic release never ends the user's pause. A job
    // already past its loop cannot be held: nothing is logged then.
    ResumeTimer->stop();
    if (CurrentJob->Hold()) Log(QStringLiteral("Включаем паузу"));
  }
}

void TMainForm::ResumeTimerTimer() {
  ResumeTimer->stop();
  // The same as the user lifting the pause; a job that is not held is left alone.
  if (JobRunning() && CurrentJob->IsHeld()) PauseButtonClick();
}

void TMainForm::StopButtonClick() {
  if (!JobRunning()) return;
  if (CurrentJob->IsHeld()) CurrentJob->Release();
  CurrentJob->RequestStop();
  Log(QStringLiteral("Останавливаем работу"));
  ProgressBar->setValue(0);
  ShowHeld();
}

// ---------------------------------------------------------------------------------------
// JobView

template <typename F>
auto TMainForm::OnWindowThread(F f) -> decltype(f()) {
  using R = decltype(f());
  if (QThread::currentThread() == thread()) return f();
  // A queued call and a promise instead of a blocking queued call: the wait then rests on
  // standard primitives that race checkers see through. Only the queued call holds the
  // promise: a call dropped unrun (the window gone) destroys it, which breaks it, and the
  // caller goes on at once with an empty value.
  // Qt's event queue hands the call over, and back, under locks that race checkers cannot
  // see: a release wherever one thread is done with the call and an acquire wherever the
  // other takes it up (run, dropped or freed) show them the hand-over.
  static std::atomic<unsigned> handOver{0};
  struct Call {
    F* f;
    std::shared_ptr<std::promise<R>> done;
    Call(F* f, std::shared_ptr<std::promise<R>> done) : f(f), done(std::move(done)) {}
    Call(Call&& other) noexcept : f(other.f), done(std::move(other.done)) {
      handOver.fetch_add(1, std::memory_order_release);
    }
    ~Call() { handOver.load(std::memory_order_acquire); }
    void operator()() {
      handOver.load(std::memory_order_acquire);
      try {
        if constexpr (std::is_void_v<R>) {
          (*f)();
          done->set_value();
        } else {
          done->set_value((*f)());
        }
      } catch (...) {
        done->set_exception(std::current_exception());
      }
      handOver.fetch_add(1, std::memory_order_release);
    }
  };
  auto done = std::make_shared<std::promise<R>>();
  std::future<R> outcome = done->get_future();
  QMetaObject::invokeMethod(this, Call(&f, std::move(done)), Qt::QueuedConnection);
  handOver.fetch_add(1, std::memory_order_release);  // the event Qt made for the call
  try {
    return outcome.get();
  } catch (...) {
    return R();
  }
}

QList<RegionItem> TMainForm::SelectedRegions() {
  return OnWindowThread([this] {
    QList<RegionItem> regions;
    for (int i = 0; i < CitiesListBox->count(); ++i) {
      const QListWidgetItem* item = CitiesListBox->item(i);
      if (item->isSelected())
        regions.append(RegionItem{item->text(), item->data(Qt::UserRole).toString()});
    }
    return regions;
  });
}

int TMainForm::ReadLimit() {
  return OnWindowThread([this] { return LimitEdit->value(); });
}

bool TMainForm::ReadAdditional() {
  return OnWindowThread([this] { return AdditionalCheckBox->isChecked(); });
}

void TMainForm::ClearLog() {
  OnWindowThread([this] {
    LogsMemo->Clear();
    for (const QString& line : std::as_const(startLines_)) LogsMemo->AppendLine(line);
    startLines_.clear();
  });
}

QStringList TMainForm::LogLinesFrom(qsizetype first, qsizetype count) {
  return OnWindowThread([this, first, count] { return LogsMemo->LinesFrom(first, count); });
}

void TMainForm::AddLogLine(const QString& line) {
  OnWindowThread([this, &line] { LogsMemo->AppendLine(line); });
}

void TMainForm::SetProgress(int maximum, int position, const QString& hint) {
  OnWindowThread([this, maximum, position, &hint] {
    // A range of 0..0 would turn the bar into a busy indicator: keep it empty instead.
    const int max = std::max(maximum, 0);
    ProgressBar->setRange(0, std::max(max, 1));
    ProgressBar->setValue(std::clamp(position, 0, max));
    ProgressBar->setToolTip(hint);
  });
}

void TMainForm::SetCounters(const QString& foundText, const QString& writtenText) {
  OnWindowThread([this, &foundText, &writtenText] {
    Label4->setText(foundText);
    Label3->setText(writtenText);
  });
}

void TMainForm::SetRunControlsEnabled(bool enabled) {
  OnWindowThread([this, enabled] {
    // The job enables them again only at its end: from then on there is nothing to pause
    // or stop, although the job object lives on for its last steps.
    if (enabled && CurrentJob) runEnding_ = true;
    CitiesListBox->setEnabled(enabled);
    StartButton->setEnabled(enabled);
    AdditionalCheckBox->setEnabled(enabled);
    ShowHeld();
  });
}

void TMainForm::ShowErrorMessage(const QString& text) {
  // Not waited for: the job goes on to its end steps while the box is open.
  QMetaObject::invokeMethod(this, [this, text] { dialogs_->Error(text); }, Qt::QueuedConnection);
}

void TMainForm::ArmResumeTimer(int intervalMs) {
  OnWindowThread([this, intervalMs] {
    ResumeTimer->setInterval(intervalMs);
    ResumeTimer->start();
    // The job holds itself before it arms the timer.
    ShowHeld();
  });
}

void TMainForm::JobEnded() {
  OnWindowThread([this] {
    const QPointer<TScraper> ended = CurrentJob;
    CurrentJob.clear();
    runEnding_ = false;
    ShowHeld();
    if (closing_) {
      // The job is still inside this call; quit once its thread has really finished, so
      // that no thread object outlives the program's event loop while it runs.
      if (ended && !ended->isFinished())
        connect(ended.data(), &QThread::finished, this, &TMainForm::Quit, Qt::QueuedConnection);
      else
        QTimer::singleShot(0, this, &TMainForm::Quit);
    } else if (startQueued_) {
      // Not from inside this call: the job waits for it, and the start may ask questions.
      QTimer::singleShot(0, this, &TMainForm::StartButtonClick);
    }
    emit JobFinished();
  });
}
