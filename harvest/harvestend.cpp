#include "harvest/harvestend.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSet>

#include "harvest/changereport.h"
#include "harvest/job_context.h"
#include "harvest/rundata.h"
#include "harvest/runstore.h"
#include "platform/atomicfile.h"
#include "platform/platform.h"
#include "portal/api.h"
#include "text/textfile.h"

namespace {

// A block of the pending file begins with this line and the harvest's end time, then
// kReportDue when its change report is still to be made, also once it is in the history.
const QString kPendingTag = QStringLiteral("#harvest");
const QString kReportDue = QStringLiteral("report");

struct Pending {
  HarvestUnderWay harvest;
  QString finished;
  bool reportDue = false;
};

QList<Pending> ReadPending(const QString& path, const HarvestLog& log) {
  QList<Pending> list;
  if (!QFileInfo::exists(path)) return list;
  QStringList lines;
  if (const FileOutcome read = ReadTextLines(path, &lines); !read) {
    log(QStringLiteral("Ошибка: список сборов, ждущих внесения в историю, не прочитан: %1 (%2)")
            .arg(QDir::toNativeSeparators(path), read.reason));
    return list;
  }
  RunData run;
  for (const QString& line : lines) {
    if (line.startsWith(kPendingTag + QLatin1Char('\t'))) {
      if (!list.isEmpty()) list.last().harvest = std::move(run.Harvest);
      run.Harvest = HarvestUnderWay();
      list.append({{}, line.section(QLatin1Char('\t'), 1, 1), line.section(QLatin1Char('\t'), 2, 2) == kReportDue});
    } else if (!list.isEmpty()) {
      LoadJobContextEntry(line, run);
    }
  }
  if (!list.isEmpty()) list.last().harvest = std::move(run.Harvest);
  // A block whose start is unreadable is no harvest to import.
  list.erase(std::remove_if(list.begin(), list.end(), [](const Pending& p) { return !p.harvest.Known(); }), list.end());
  return list;
}

bool WritePending(const QString& path, const QList<Pending>& list, const HarvestLog& log) {
  if (list.isEmpty()) {
    if (QFileInfo::exists(path) && !RemoveFile(path)) {
      log(QStringLiteral("Ошибка: файл %1 не удалён; сборы из него уже в истории и не будут внесены дважды")
              .arg(QDir::toNativeSeparators(path)));
      return false;
    }
    return true;
  }
  QByteArray bytes("\xEF\xBB\xBF");
  for (const Pending& p : list) {
    bytes += (kPendingTag + QLatin1Char('\t') + p.finished + (p.reportDue ? QLatin1Char('\t') + kReportDue : QString()))
                 .toUtf8() +
             "\r\n";
    for (const QString& line : HarvestLines(p.harvest)) bytes += line.toUtf8() + "\r\n";
  }
  const FileOutcome written = WriteFileAtomically(path, bytes);
  if (!written)
    log(QStringLiteral("Ошибка: сбор не записан в список ждущих внесения в историю: ") +
        CannotCreateFileMessage(path, written.reason));
  return written.ok;
}

HarvestRecord RecordOf(const QString& dir, const Pending& p) {
  HarvestRecord record;
  record.started = p.harvest.started;
  record.finished = p.finished;
  for (const auto& [key, name] : p.harvest.regions) record.regions.append({key, name});
  for (const QString& file : p.harvest.resultFiles) record.resultFiles << dir + file;
  // A task given up again after a kill took the saved queue back to before its first time
  // is one task given up.
  QSet<QString> seen;
  for (const HarvestUnderWay::GivenUp& g : p.harvest.givenUp) {
    if (seen.contains(g.task)) continue;
    seen.insert(g.task);
    record.givenUp.append({g.task, g.orgGuid, g.regionKey});
  }
  return record;
}

// "changesN" for the harvest's last result file "dataN.tab".
QString ReportStem(const QString& dir, const HarvestUnderWay& harvest) {
  QString number = harvest.resultFiles.isEmpty() ? QString() : harvest.resultFiles.last();
  if (number.startsWith(QStringLiteral("data")) && number.endsWith(QStringLiteral(".tab")))
    number = number.mid(4, number.size() - 8);
  else
    number = QString::number(qint32(TickCount()));
  return dir + QStringLiteral("changes") + number;
}

// The change report of an imported harvest; false (with the reason logged) when it was not made.
// The change report of an imported harvest, its line logged; the reason when it was not made.
QString WriteReport(const QString& dir, HarvestHistory& history, qint64 harvestId, const HarvestUnderWay& harvest,
                    const HarvestLog& log) {
  const QString stem = ReportStem(dir, harvest);
  const ReportOutcome report =
      WriteChangeReport(history, harvestId, stem + QStringLiteral(".xlsx"), stem + QStringLiteral(".tab"));
  if (!report.outcome.ok) return report.outcome.reason;
  log(QStringLiteral("Отчёт об изменениях: %1 (и %2), изменений: %3")
          .arg(QDir::toNativeSeparators(stem + QStringLiteral(".xlsx")), QDir::toNativeSeparators(stem + QStringLiteral(".tab")),
               QString::number(report.lines)));
  return {};
}

struct Imported {
  bool changed = false;  // the list is not what it was
  // Why a harvest waits for its import, or for its report alone: logged by Tell, with when
  // it will be done once the list that keeps it is on the disk.
  QStringList importWaits, reportWaits;
};

// Imports the harvests in order, each with its change report; those that went in with their
// report (or can never go in) leave the list, those whose report failed stay for it alone.
// Stops at a database that cannot be used: the rest wait for the next time.
Imported ImportWaiting(const QString& dir, QList<Pending>& list, const HarvestLog& log) {
  Imported done;
  if (list.isEmpty()) return done;
  HarvestHistory history(dir + HarvestHistory::FileName());
  QList<Pending> reportsDue;
  while (!list.isEmpty()) {
    Pending p = list.takeFirst();
    const ImportOutcome imported = history.Import(RecordOf(dir, p));
    if (!imported.outcome.ok) {
      if (imported.outcome.retry) {
        done.importWaits << imported.outcome.reason;
        list.prepend(std::move(p));
        break;
      }
      log(imported.outcome.reason);
      done.changed = true;
      continue;
    }
    if (!imported.already)
      log(QStringLiteral("Сбор внесён в историю %1: сбор № %2, строк %3, домов %4")
              .arg(QDir::toNativeSeparators(history.Path()), QString::number(imported.harvestId),
                   QString::number(imported.rows), QString::number(imported.houses)));
    if (!imported.already || p.reportDue) {
      if (const QString why = WriteReport(dir, history, imported.harvestId, p.harvest, log); !why.isEmpty()) {
        done.reportWaits << why;
        done.changed = done.changed || !p.reportDue;
        p.reportDue = true;
        reportsDue.append(std::move(p));
        continue;
      }
    }
    done.changed = true;
  }
  list = reportsDue + list;
  return done;
}

// One line for each thing left to do; when it will be done is said only if the list that
// keeps it is on the disk.
void Tell(const Imported& done, bool listKept, const HarvestLog& log) {
  for (const QString& why : done.importWaits)
    log(listKept ? why + QStringLiteral(" Сбор будет внесён в историю при следующем \"СТАРТ\" или после следующего "
                                        "завершённого сбора.")
                 : why);
  for (const QString& why : done.reportWaits)
    log(listKept ? why + QStringLiteral(" Отчёт будет сделан при следующем \"СТАРТ\".") : why);
}

}  // namespace

HarvestUnderWay BeginHarvest(const QString& dir, const QList<QPair<QString, QString>>& regions, const HarvestLog& log) {
  const QString path = dir + PendingHarvestsFileName();
  QList<Pending> waiting = ReadPending(path, log);
  const Imported done = ImportWaiting(dir, waiting, log);
  Tell(done, !done.changed || WritePending(path, waiting, log), log);
  HarvestUnderWay harvest;
  harvest.started = HistoryTime(QDateTime::currentDateTime());
  harvest.regions = regions;
  return harvest;
}

void CompleteHarvest(const QString& dir, const HarvestUnderWay& harvest, const HarvestLog& log) {
  if (!harvest.Known()) {
    log(QStringLiteral("Сбор начат версией программы, которая не вела историю: в history.sqlite он не вносится"));
    return;
  }
  const QString path = dir + PendingHarvestsFileName();
  QList<Pending> waiting = ReadPending(path, log);
  // Its report is due until it is made: a kill between the import and the report leaves the
  // report to the next start.
  waiting.append({harvest, HistoryTime(QDateTime::currentDateTime()), true});
  // On the disk before the import: a kill during it leaves the harvest waiting, not lost.
  // Where it cannot be noted (a full disk), the import is tried all the same.
  const bool noted = WritePending(path, waiting, log);
  const Imported done = ImportWaiting(dir, waiting, log);
  Tell(done, done.changed || noted ? WritePending(path, waiting, log) : noted, log);
}

void NoteHarvestLeftComplete(const QString& dir, const HarvestLog& log) {
  std::optional<RunStore::LeftHarvest> left = RunStore::CompletedHarvestLeft(dir);
  if (!left) return;
  const QString path = dir + PendingHarvestsFileName();
  QList<Pending> waiting = ReadPending(path, log);
  for (const Pending& p : waiting)
    if (p.harvest.started == left->harvest.started) return;
  waiting.append({std::move(left->harvest), HistoryTime(left->saved)});
  WritePending(path, waiting, log);  // a failure is logged: the result files stay all the same
}

void NoteGivenUp(HarvestUnderWay& harvest, const QString& task) {
  const TaskParts parts = ParseTask(task);
  HarvestUnderWay::GivenUp given{task, {}, {}};
  switch (parts.kind) {
    case RegionCount:
    case SearchPage:
      given.regionKey = parts.regionCode + QStringLiteral("$$$") + parts.regionGuid;
      break;
    default:
      given.orgGuid = parts.orgGuid.toLower();
  }
  harvest.givenUp.append(given);
}
