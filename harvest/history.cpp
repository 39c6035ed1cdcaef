#include "harvest/history.h"

#include <sqlite3.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "harvest/historydb.h"
#include "harvest/resultfile.h"

namespace {

// Zero-based positions in a result row.
constexpr int kHouseCountColumn = 24;
constexpr int kAddressesColumn = 27;
constexpr int kDwellingsColumn = 28;
constexpr int kColumnCount = 30;

// A whole number as the result file writes one (QString::number): optional minus, digits,
// no leading zero.
bool WholeNumber(const QByteArray& text, qint64* value) {
  if (text.isEmpty() || text.size() > 19) return false;
  qsizetype i = text[0] == '-' ? 1 : 0;
  if (i == text.size() || (text[i] == '0' && text.size() > i + 1)) return false;
  for (qsizetype k = i; k < text.size(); ++k)
    if (text[k] < '0' || text[k] > '9') return false;
  bool ok = false;
  *value = text.toLongLong(&ok);
  return ok;
}

QString Names(const QStringList& paths) {
  QStringList names;
  for (const QString& path : paths) names << QFileInfo(path).fileName();
  return names.join(QStringLiteral(", "));
}

QString RegionKeys(const QList<HarvestRegion>& regions) {
  QStringList keys;
  for (const HarvestRegion& region : regions) keys << region.key;
  return keys.join(QStringLiteral(", "));
}

const char* const kSchema = R"sql(
CREATE TABLE harvests(id INTEGER PRIMARY KEY, started TEXT, finished TEXT, regions TEXT,
                      result_files TEXT, given_up INTEGER);
CREATE UNIQUE INDEX harvests_identity ON harvests(started, result_files);
CREATE TABLE harvest_regions(harvest_id INTEGER NOT NULL, region_key TEXT, region_name TEXT);
CREATE INDEX harvest_regions_by_harvest ON harvest_regions(harvest_id);
CREATE TABLE given_up(harvest_id INTEGER NOT NULL, task TEXT, org_guid TEXT, region_key TEXT);
CREATE INDEX given_up_by_harvest ON given_up(harvest_id, org_guid);
CREATE TABLE addresses(id INTEGER PRIMARY KEY, hash INTEGER NOT NULL, text TEXT NOT NULL);
CREATE INDEX addresses_by_hash ON addresses(hash);
CREATE TABLE row_data(id INTEGER PRIMARY KEY, harvest_id INTEGER NOT NULL, @COLUMNS@,
                      houses_from INTEGER, houses_to INTEGER);
CREATE INDEX row_data_by_org ON row_data(harvest_id, region, guid);
CREATE INDEX row_data_by_guid ON row_data(harvest_id, guid);
CREATE TABLE house_list(harvest_id INTEGER NOT NULL, row_id INTEGER NOT NULL,
                        address_id INTEGER NOT NULL);
CREATE INDEX house_list_by_address ON house_list(harvest_id, address_id);
CREATE VIEW rows AS SELECT r.harvest_id AS harvest_id, @ROWCOLUMNS@ FROM row_data r;
CREATE VIEW houses AS
  SELECT h.harvest_id AS harvest_id, r.guid AS org_guid, a.text AS address
  FROM house_list h JOIN row_data r ON r.id = h.row_id JOIN addresses a ON a.id = h.address_id
  ORDER BY h.rowid;
)sql";

// The house addresses of a row that has houses are their own list; a row without (or whose
// list does not match its count) keeps its text as it was.
const char* const kAddressesOfRow =
    "COALESCE(r.house_addresses, (SELECT group_concat(a.text, '|') FROM house_list h "
    "JOIN addresses a ON a.id = h.address_id WHERE h.rowid BETWEEN r.houses_from AND "
    "r.houses_to)) AS house_addresses";

}  // namespace

const QStringList& HistoryColumnNames() {
  static const QStringList names = {
      "region",          "guid",            "full_name",         "short_name",
      "ogrn",            "registration_date", "inn",             "kpp",
      "legal_form",      "registered_address", "actual_address", "postal_address",
      "phone",           "email",           "website",           "chief_last_name",
      "chief_first_name", "chief_middle_name", "chief_full_name", "opening_hours",
      "reception_person", "reception_address", "reception_phone", "reception_hours",
      "house_count",     "operation_years", "building_years",    "house_addresses",
      "dwellings",       "link"};
  return names;
}

QString HistoryTime(const QDateTime& time) {
  return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate);
}

HarvestHistory::HarvestHistory(QString path) : path_(std::move(path)) {}

HarvestHistory::~HarvestHistory() { Close(); }

void HarvestHistory::Close() {
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

HistoryOutcome HarvestHistory::Failure(int code, const QString& doing) const {
  const QString where = QDir::toNativeSeparators(path_);
  QString what;
  switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      what = QStringLiteral("занята другой программой: закройте программу, в которой она открыта");
      break;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      what = QStringLiteral(
          "повреждена или не является базой SQLite: переименуйте или перенесите её, программа "
          "заведёт новую");
      break;
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      what = QStringLiteral("не открывается на запись: проверьте права на неё и на папку программы");
      break;
    case SQLITE_FULL:
      what = QStringLiteral("не записана: диск заполнен, освободите место");
      break;
    case SQLITE_IOERR:
      what = QStringLiteral("не записана: ошибка чтения или записи диска (%1), проверьте диск и свободное место")
                 .arg(QString::fromUtf8(sqlite3_errstr(code)));
      break;
    default:
      what = QStringLiteral("не записана (%1)").arg(QString::fromUtf8(sqlite3_errstr(code)));
  }
  HistoryOutcome out;
  out.retry = true;
  // What happens next is the caller's to say: it depends on what was being done.
  out.reason = QStringLiteral("%1 — база истории history.sqlite (%2) %3.").arg(doing, where, what);
  return out;
}

HistoryOutcome HarvestHistory::Open(const QString& doing) {
  if (db_) return HistoryOutcome::Done();
  sqlite3* db = nullptr;
  const QByteArray name = QDir::toNativeSeparators(path_).toUtf8();
  int rc = sqlite3_open_v2(name.constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    if (db) sqlite3_close_v2(db);
    return Failure(rc, doing);
  }
  db_ = db;
  sqlite3_extended_result_codes(db_, 1);
  // Another program reading the database holds it for a moment: wait that long.
  sqlite3_busy_timeout(db_, 3000);
  HistoryOutcome schema = CreateSchema(doing);
  if (!schema) Close();
  return schema;
}

HistoryOutcome HarvestHistory::CreateSchema(const QString& doing) {
  historydb::Db db(db_);
  // A page cache of its own size: the import and the report stay in bounded memory.
  if (int rc = db.Exec("PRAGMA cache_size = -16384"); rc != SQLITE_OK)
    return Failure(rc, doing);
  qint64 version = 0;
  if (int rc = db.Scalar("PRAGMA user_version", &version); rc != SQLITE_OK)
    return Failure(rc, doing);
  if (version == kSchemaVersion) return HistoryOutcome::Done();
  if (version != 0) {
    HistoryOutcome out;
    out.retry = true;
    // One substitution: a folder's name may hold "%2".
    out.reason = QStringLiteral("%1 — база истории history.sqlite (%2) создана другой версией программы "
                                "(версия схемы %3, эта программа знает %4): перенесите её в другую "
                                "папку, программа заведёт новую.")
                     .arg(doing, QDir::toNativeSeparators(path_), QString::number(version),
                          QString::number(kSchemaVersion));
    return out;
  }
  QStringList columns;
  QStringList rowColumns;
  for (const QString& column : HistoryColumnNames()) {
    const bool number = column == u"house_count" || column == u"dwellings";
    columns << column + (number ? QStringLiteral(" INTEGER") : QStringLiteral(" TEXT"));
    rowColumns << (column == u"house_addresses" ? QString::fromLatin1(kAddressesOfRow) : QStringLiteral("r.") + column);
  }
  const QByteArray schema = QByteArray(kSchema)
                                .replace("@COLUMNS@", columns.join(QStringLiteral(", ")).toUtf8())
                                .replace("@ROWCOLUMNS@", rowColumns.join(QStringLiteral(", ")).toUtf8());
  // One transaction: a database is either without tables or has all of them.
  if (int rc = db.Exec("BEGIN IMMEDIATE"); rc != SQLITE_OK) return Failure(rc, doing);
  qint64 again = 0;
  int rc = db.Scalar("PRAGMA user_version", &again);
  if (rc == SQLITE_OK && again == 0) rc = db.Exec(schema.constData());
  if (rc == SQLITE_OK && again == 0)
    rc = db.Exec(QByteArray("PRAGMA user_version = " + QByteArray::number(kSchemaVersion)).constData());
  if (rc == SQLITE_OK) rc = db.Exec("COMMIT");
  if (rc != SQLITE_OK) {
    db.Exec("ROLLBACK");
    return Failure(rc, doing);
  }
  return HistoryOutcome::Done();
}

qint64 HarvestHistory::FindHarvest(const HarvestRecord& record) {
  if (!db_) return 0;
  historydb::Statement find(db_, "SELECT id FROM harvests WHERE started = ?1 AND result_files = ?2");
  find.Bind(1, record.started);
  find.Bind(2, Names(record.resultFiles));
  return find.Step() == SQLITE_ROW ? find.Int(0) : 0;
}

namespace {

// Streams the rows of a harvest's result files into the open transaction.
class RowImporter {
 public:
  RowImporter(sqlite3* db, qint64 harvestId, qint64 firstRowId)
      : harvestId_(harvestId),
        nextRowId_(firstRowId),
        insertRow_(db, InsertRowSql()),
        findAddress_(db, "SELECT id, text FROM addresses WHERE hash = ?1"),
        insertAddress_(db, "INSERT INTO addresses(hash, text) VALUES(?1, ?2)"),
        insertHouse_(db, "INSERT INTO house_list(harvest_id, row_id, address_id) VALUES(?1, ?2, ?3)"),
        db_(db) {}

  int Prepared() const {
    for (const historydb::Statement* s : {&insertRow_, &findAddress_, &insertAddress_, &insertHouse_})
      if (s->Error() != SQLITE_OK) return s->Error();
    return SQLITE_OK;
  }

  // One line of the file, without its line end.
  int AddRow(const QByteArray& line) {
    fields_ = line.split('\t');
    fields_.resize(kColumnCount);
    const qint64 rowId = nextRowId_++;
    qint64 count = 0;
    const QByteArray& addresses = fields_[kAddressesColumn];
    const bool houses = WholeNumber(fields_[kHouseCountColumn], &count) && count > 0 &&
                        addresses.count('|') + 1 == count;
    qint64 from = 0;
    qint64 to = -1;
    if (houses) {
      qsizetype start = 0;
      for (qint64 i = 0; i < count; ++i) {
        qsizetype end = addresses.indexOf('|', start);
        if (end < 0) end = addresses.size();
        qint64 addressId = 0;
        if (int rc = AddressId(addresses.constData() + start, end - start, &addressId); rc != SQLITE_OK)
          return rc;
        insertHouse_.Reset();
        insertHouse_.Bind(1, harvestId_);
        insertHouse_.Bind(2, rowId);
        insertHouse_.Bind(3, addressId);
        if (int rc = insertHouse_.Step(); rc != SQLITE_DONE) return rc;
        const qint64 houseId = sqlite3_last_insert_rowid(db_);
        if (i == 0) from = houseId;
        to = houseId;
        start = end + 1;
      }
      houses_ += count;
    }
    insertRow_.Reset();
    insertRow_.Bind(1, rowId);
    insertRow_.Bind(2, harvestId_);
    for (int c = 0; c < kColumnCount; ++c) {
      const QByteArray& value = fields_[c];
      qint64 number = 0;
      if (c == kAddressesColumn && houses)
        insertRow_.BindNull(3 + c);
      else if ((c == kHouseCountColumn || c == kDwellingsColumn) && WholeNumber(value, &number))
        insertRow_.Bind(3 + c, number);
      else
        insertRow_.BindBytes(3 + c, value.constData(), value.size());
    }
    if (houses) {
      insertRow_.Bind(3 + kColumnCount, from);
      insertRow_.Bind(4 + kColumnCount, to);
    } else {
      insertRow_.BindNull(3 + kColumnCount);
      insertRow_.BindNull(4 + kColumnCount);
    }
    if (int rc = insertRow_.Step(); rc != SQLITE_DONE) return rc;
    ++rows_;
    return SQLITE_OK;
  }

  qint64 Rows() const { return rows_; }
  qint64 Houses() const { return houses_; }

 private:
  static QByteArray InsertRowSql() {
    QByteArray sql = "INSERT INTO row_data(id, harvest_id, " + HistoryColumnNames().join(u',').toUtf8() +
                     ", houses_from, houses_to) VALUES(?1, ?2";
    for (int i = 0; i < kColumnCount + 2; ++i) sql += ", ?" + QByteArray::number(3 + i);
    return sql + ")";
  }

  int AddressId(const char* data, qsizetype size, qint64* id) {
    const qint64 hash = historydb::AddressHash(data, size);
    findAddress_.Reset();
    findAddress_.Bind(1, hash);
    int rc = SQLITE_OK;
    while ((rc = findAddress_.Step()) == SQLITE_ROW) {
      const QByteArrayView text = findAddress_.Bytes(1);
      if (text == QByteArrayView(data, size)) {
        *id = findAddress_.Int(0);
        return SQLITE_OK;
      }
    }
    if (rc != SQLITE_DONE) return rc;
    insertAddress_.Reset();
    insertAddress_.Bind(1, hash);
    insertAddress_.BindBytes(2, data, size);
    if (rc = insertAddress_.Step(); rc != SQLITE_DONE) return rc;
    *id = sqlite3_last_insert_rowid(db_);
    return SQLITE_OK;
  }

  qint64 harvestId_;
  qint64 nextRowId_;
  historydb::Statement insertRow_;
  historydb::Statement findAddress_;
  historydb::Statement insertAddress_;
  historydb::Statement insertHouse_;
  sqlite3* db_;
  QList<QByteArray> fields_;
  qint64 rows_ = 0;
  qint64 houses_ = 0;
};

// The header as the result file begins: the mark, the titles and the line end.
QByteArray HeaderBytes() { return "\xEF\xBB\xBF" + ResultFile::HeaderLine().toUtf8(); }

}  // namespace

ImportOutcome HarvestHistory::Import(const HarvestRecord& record) {
  ImportOutcome out;
  const QString doing = QStringLiteral("Сбор не внесён в историю");
  if (out.outcome = Open(doing); !out.outcome) return out;
  out.outcome = {};
  historydb::Db db(db_);
  if (int rc = db.Exec("BEGIN IMMEDIATE"); rc != SQLITE_OK) {
    out.outcome = Failure(rc, doing);
    return out;
  }
  // Every way out below rolls back unless committed.
  struct Rollback {
    historydb::Db& db;
    bool armed = true;
    ~Rollback() {
      if (armed) db.Exec("ROLLBACK");
    }
  } rollback{db};

  const auto failed = [&](int rc) {
    out.outcome = Failure(rc, doing);
    return out;
  };
  if (const qint64 found = FindHarvest(record); found > 0) {
    out.harvestId = found;
    out.already = true;
    out.outcome = HistoryOutcome::Done();
    return out;
  }

  historydb::Statement harvest(db_, "INSERT INTO harvests(started, finished, regions, result_files, given_up) "
                                    "VALUES(?1, ?2, ?3, ?4, ?5)");
  harvest.Bind(1, record.started);
  harvest.Bind(2, record.finished);
  harvest.Bind(3, RegionKeys(record.regions));
  harvest.Bind(4, Names(record.resultFiles));
  harvest.Bind(5, qint64(record.givenUp.size()));
  if (int rc = harvest.Step(); rc != SQLITE_DONE) return failed(rc);
  const qint64 id = sqlite3_last_insert_rowid(db_);

  historydb::Statement region(db_, "INSERT INTO harvest_regions(harvest_id, region_key, region_name) VALUES(?1, ?2, ?3)");
  for (const HarvestRegion& r : record.regions) {
    region.Reset();
    region.Bind(1, id);
    region.Bind(2, r.key);
    region.Bind(3, r.name);
    if (int rc = region.Step(); rc != SQLITE_DONE) return failed(rc);
  }
  historydb::Statement givenUp(db_, "INSERT INTO given_up(harvest_id, task, org_guid, region_key) VALUES(?1, ?2, ?3, ?4)");
  for (const HistoryGivenUp& task : record.givenUp) {
    givenUp.Reset();
    givenUp.Bind(1, id);
    givenUp.Bind(2, task.task);
    givenUp.Bind(3, task.orgGuid.toLower());
    givenUp.Bind(4, task.regionKey);
    if (int rc = givenUp.Step(); rc != SQLITE_DONE) return failed(rc);
  }

  qint64 lastRow = 0;
  if (int rc = db.Scalar("SELECT coalesce(max(id), 0) FROM row_data", &lastRow); rc != SQLITE_OK) return failed(rc);
  RowImporter importer(db_, id, lastRow + 1);
  if (int rc = importer.Prepared(); rc != SQLITE_OK) return failed(rc);

  const QByteArray header = HeaderBytes();
  for (const QString& path : record.resultFiles) {
    const QString shown = QDir::toNativeSeparators(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
      out.outcome.reason = QStringLiteral("Файл результатов %1 не прочитан (%2): сбор не внесён в историю "
                                          "history.sqlite, его данные остаются в файлах результатов.")
                               .arg(shown, file.errorString());
      return out;
    }
    QByteArray line = file.readLine();
    while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
    if (line != header) {
      out.outcome.reason = QStringLiteral("Файл %1 начинается не с заголовка файла результатов: сбор не внесён "
                                          "в историю history.sqlite, его данные остаются в файлах результатов.")
                               .arg(shown);
      return out;
    }
    while (!file.atEnd()) {
      line = file.readLine();
      if (file.error() != QFileDevice::NoError) break;
      // Only whole rows: a line without its end is a row cut short.
      if (!line.endsWith('\n')) break;
      while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
      if (int rc = importer.AddRow(line); rc != SQLITE_OK) return failed(rc);
      if (rowHook_) rowHook_(importer.Rows());
    }
    if (file.error() != QFileDevice::NoError) {
      out.outcome.reason = QStringLiteral("Файл результатов %1 не прочитан до конца (%2): сбор не внесён в "
                                          "историю history.sqlite, его данные остаются в файлах результатов.")
                               .arg(shown, file.errorString());
      return out;
    }
  }
  if (int rc = db.Exec("COMMIT"); rc != SQLITE_OK) return failed(rc);
  rollback.armed = false;
  out.outcome = HistoryOutcome::Done();
  out.harvestId = id;
  out.rows = importer.Rows();
  out.houses = importer.Houses();
  return out;
}
