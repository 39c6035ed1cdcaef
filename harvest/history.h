#pragma once
// Every completed harvest kept in "history.sqlite" beside the program, so that harvests can be
// compared (harvest/changereport.h) and queried by the user.
//
// What the user sees (names fixed, documented in the README):
//   harvests(id, started, finished, regions, result_files, given_up)
//   rows(harvest_id, region, guid, full_name, …, link)   the 30 columns of every result row
//   houses(harvest_id, org_guid, address)                 one per house, in answer order
//   harvest_regions(harvest_id, region_key, region_name)  the regions a harvest covered
//   given_up(harvest_id, task, org_guid, region_key)      its tasks given up for good
// `rows` and `houses` are views: a country's million addresses are kept once in `addresses`
// (shared by all harvests, found by a hash of their bytes) and every house is three integers
// in `house_list`, so a harvest adds tens of megabytes, not hundreds.
//
// A harvest is imported in one transaction, from its result files read a row at a time, and
// only once: its start time and its result files are its identity, so an import repeated, or
// begun again after a kill, finds it or adds it whole. Nothing here ever writes a result file.

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

struct sqlite3;

// What an operation on the history reports: done, or a reason in Russian that names the
// database and says what to do. `retry` says the database itself could not be used (locked,
// damaged, read-only, full disk): the harvest is kept for the next attempt.
struct [[nodiscard]] HistoryOutcome {
  bool ok = false;
  bool retry = false;
  QString reason;

  static HistoryOutcome Done() { return {true, false, {}}; }
  explicit operator bool() const { return ok; }
};

struct HarvestRegion {
  QString key;   // RegionKey: code, "$$$", GUID
  QString name;  // as the result rows name it
  bool operator==(const HarvestRegion&) const = default;
};

// A task given up for good, with what it would have brought: an organisation's GUID, or
// (a region's count or search page) only the region, so that none of its organisations
// missing from the rows is taken for gone.
struct HistoryGivenUp {
  QString task;
  QString orgGuid;
  QString regionKey;
  bool operator==(const HistoryGivenUp&) const = default;
};

// A completed harvest as the job hands it over.
struct HarvestRecord {
  QString started;   // ISO 8601 (HistoryTime)
  QString finished;  // ISO 8601
  QList<HarvestRegion> regions;
  QStringList resultFiles;  // full paths, in the order they were written
  QList<HistoryGivenUp> givenUp;
};

struct [[nodiscard]] ImportOutcome {
  HistoryOutcome outcome;
  qint64 harvestId = 0;
  qint64 rows = 0;
  qint64 houses = 0;
  bool already = false;  // found imported before: nothing added
};

// The 30 column names of `rows` after harvest_id, in the result file's order.
const QStringList& HistoryColumnNames();

// A time as the history keeps it: ISO 8601 with the offset from UTC.
class QDateTime;
QString HistoryTime(const QDateTime& time);

class HarvestHistory {
 public:
  static constexpr int kSchemaVersion = 1;
  static QString FileName() { return QStringLiteral("history.sqlite"); }

  explicit HarvestHistory(QString path);
  ~HarvestHistory();
  HarvestHistory(const HarvestHistory&) = delete;
  HarvestHistory& operator=(const HarvestHistory&) = delete;

  // Opens the database (creating it and its schema when missing) and checks that it is
  // usable. A kill during an earlier import is rolled back here by SQLite itself.
  // `doing` begins the reason of a failure ("Сбор не внесён в историю").
  HistoryOutcome Open(const QString& doing = QStringLiteral("База истории не открыта"));
  void Close();
  bool IsOpen() const { return db_ != nullptr; }
  QString Path() const { return path_; }

  // Imports a completed harvest (see the file comment). A result file that is missing or
  // not a result file fails without `retry`: it cannot get better by waiting.
  ImportOutcome Import(const HarvestRecord& record);

  // The id of the harvest with this identity, 0 when it is not there.
  qint64 FindHarvest(const HarvestRecord& record);

  // Called after every row an import adds, inside its transaction (tests end the process
  // there to see that a killed import leaves nothing behind).
  void SetRowHook(std::function<void(qint64 rows)> hook) { rowHook_ = std::move(hook); }

  // The open connection, for the change report and tests.
  sqlite3* Handle() const { return db_; }

  // The reason for a failed SQLite call on this database, in Russian, with what to do.
  HistoryOutcome Failure(int code, const QString& doing) const;

 private:
  HistoryOutcome CreateSchema(const QString& doing);

  QString path_;
  sqlite3* db_ = nullptr;
  std::function<void(qint64)> rowHook_;
};
