#include "harvest/changereport.h"

#include <xlsxwriter.h>

#include <QDir>
#include <QFile>
#include <QSet>
#include <memory>

#include "harvest/historydb.h"
#include "harvest/resultfile.h"
#include "platform/atomicfile.h"
#include "platform/platform.h"

namespace {

// Card columns compared, as zero-based positions in a row: full name to reception hours.
constexpr int kFirstCardColumn = 2;
constexpr int kLastCardColumn = 23;

struct Org {
  QByteArray guid;
  qint64 rowId = 0;
};

// The organisations of a harvest's region, by GUID, each with its first row.
class OrgCursor {
 public:
  OrgCursor(sqlite3* db, qint64 harvest, const QString& region)
      : s_(db, "SELECT guid, min(id) FROM row_data WHERE harvest_id = ?1 AND region = ?2 "
               "GROUP BY guid ORDER BY guid") {
    s_.Bind(1, harvest);
    s_.Bind(2, region);
    Next();
  }
  int Error() const { return error_; }
  bool AtEnd() const { return atEnd_; }
  const Org& Current() const { return current_; }
  void Next() {
    const int rc = s_.Step();
    atEnd_ = rc != SQLITE_ROW;
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) error_ = rc;
    if (!atEnd_) current_ = {s_.Bytes(0).toByteArray(), s_.Int(1)};
  }

 private:
  historydb::Statement s_;
  Org current_;
  bool atEnd_ = true;
  int error_ = SQLITE_OK;
};

class Comparer {
 public:
  Comparer(HarvestHistory& history, qint64 harvest, const std::function<void(const ChangeLine&)>& line)
      : history_(history), db_(history.Handle()), harvest_(harvest), line_(line),
        titles_(ResultFile::HeaderLine().split(u'\t')),
        firstRowOf_(db_, "SELECT min(id) FROM row_data WHERE harvest_id = ?1 AND guid = ?2"),
        card_(db_, CardSql()) {}

  HistoryOutcome Run(QList<RegionSummary>* summary) {
    historydb::Statement regions(db_, "SELECT region_key, region_name FROM harvest_regions WHERE harvest_id = ?1 ORDER BY rowid");
    regions.Bind(1, harvest_);
    QList<std::pair<QString, QString>> list;
    int rc = SQLITE_OK;
    while ((rc = regions.Step()) == SQLITE_ROW) list.append({regions.Text(0), regions.Text(1)});
    if (rc != SQLITE_DONE) return Fail(rc);
    for (const auto& [key, name] : list) {
      RegionSummary s;
      s.region = name;
      if (rc = Region(key, name, &s); rc != SQLITE_OK) return Fail(rc);
      if (summary) summary->append(s);
    }
    return HistoryOutcome::Done();
  }

 private:
  HistoryOutcome Fail(int rc) { return history_.Failure(rc, QStringLiteral("Отчёт об изменениях не составлен")); }

  static QByteArray CardSql() {
    QByteArray sql = "SELECT full_name";
    const QStringList& names = HistoryColumnNames();
    for (int c = kFirstCardColumn + 1; c <= kLastCardColumn; ++c) sql += ", " + names[c].toUtf8();
    return sql + " FROM row_data WHERE id = ?1";
  }

  void Emit(RegionSummary* s, const QString& kind, const QString& guid, const QString& name,
            const QString& item = {}, const QString& before = {}, const QString& after = {}) {
    line_(ChangeLine{s->region, kind, guid, name, item, before, after});
  }

  // The card columns of a row.
  int Card(qint64 rowId, QStringList* values) {
    card_.Reset();
    card_.Bind(1, rowId);
    const int rc = card_.Step();
    values->clear();
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? SQLITE_OK : rc;
    for (int c = 0; c <= kLastCardColumn - kFirstCardColumn; ++c) values->append(card_.Text(c));
    return SQLITE_OK;
  }

  // The first row of an organisation anywhere in a harvest, 0 when it has none.
  int FirstRow(qint64 harvest, const QByteArray& guid, qint64* rowId) {
    firstRowOf_.Reset();
    firstRowOf_.Bind(1, harvest);
    firstRowOf_.BindBytes(2, guid.constData(), guid.size());
    const int rc = firstRowOf_.Step();
    *rowId = rc == SQLITE_ROW && !firstRowOf_.IsNull(0) ? firstRowOf_.Int(0) : 0;
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
  }

  int Name(qint64 rowId, QString* name) {
    QStringList card;
    const int rc = Card(rowId, &card);
    *name = card.value(0);
    return rc;
  }

  int CompareFields(RegionSummary* s, const QByteArray& guid, qint64 oldRow, qint64 newRow) {
    QStringList before, after;
    if (int rc = Card(oldRow, &before); rc != SQLITE_OK) return rc;
    if (int rc = Card(newRow, &after); rc != SQLITE_OK) return rc;
    bool changed = false;
    for (int c = 0; c < after.size() && c < before.size(); ++c) {
      if (before[c] == after[c]) continue;
      changed = true;
      ++s->changedFields;
      Emit(s, change_kind::Field(), QString::fromUtf8(guid), after[0], titles_.value(kFirstCardColumn + c), before[c], after[c]);
    }
    if (changed) ++s->changedOrgs;
    return SQLITE_OK;
  }

  int GivenUp(qint64 base, const QString& key, QSet<QByteArray>* orgs, bool* regionOld, bool* regionNew) {
    historydb::Statement s(db_, "SELECT harvest_id, org_guid FROM given_up WHERE harvest_id IN (?1, ?2) "
                                "AND (org_guid <> '' OR region_key = ?3)");
    s.Bind(1, base);
    s.Bind(2, harvest_);
    s.Bind(3, key);
    int rc = SQLITE_OK;
    *regionOld = *regionNew = false;
    while ((rc = s.Step()) == SQLITE_ROW) {
      const QByteArray guid = s.Bytes(1).toByteArray();
      if (!guid.isEmpty()) orgs->insert(guid.toLower());
      else if (s.Int(0) == base) *regionOld = true;
      else *regionNew = true;
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  }

  int Region(const QString& key, const QString& name, RegionSummary* s) {
    qint64 base = 0;
    historydb::Db db(db_);
    {
      historydb::Statement find(db_, "SELECT max(harvest_id) FROM harvest_regions WHERE region_key = ?1 AND harvest_id < ?2");
      find.Bind(1, key);
      find.Bind(2, harvest_);
      const int rc = find.Step();
      if (rc != SQLITE_ROW) return rc;
      base = find.IsNull(0) ? 0 : find.Int(0);
    }
    if (base == 0) {
      s->isNew = true;
      Emit(s, change_kind::NewRegion(), {}, {}, key);
      return SQLITE_OK;
    }
    s->baseHarvest = base;
    QString oldName;
    {
      historydb::Statement find(db_, "SELECT region_name FROM harvest_regions WHERE region_key = ?1 AND harvest_id = ?2");
      find.Bind(1, key);
      find.Bind(2, base);
      if (const int rc = find.Step(); rc != SQLITE_ROW) return rc;
      oldName = find.Text(0);
    }
    QSet<QByteArray> givenUp;
    bool regionOld = false, regionNew = false;
    if (int rc = GivenUp(base, key, &givenUp, &regionOld, &regionNew); rc != SQLITE_OK) return rc;

    // Organisations: the two sorted lists side by side.
    OrgCursor was(db_, base, oldName);
    OrgCursor is(db_, harvest_, name);
    while (!was.AtEnd() || !is.AtEnd()) {
      const int order = was.AtEnd() ? 1 : is.AtEnd() ? -1 : was.Current().guid.compare(is.Current().guid);
      const bool missing = givenUp.contains((order <= 0 ? was : is).Current().guid.toLower());
      if (order < 0) {  // only in the earlier harvest's region
        const Org org = was.Current();
        qint64 elsewhere = 0;
        if (int rc = FirstRow(harvest_, org.guid, &elsewhere); rc != SQLITE_OK) return rc;
        // Still there under another region's name: that region compares it.
        if (elsewhere == 0) {
          QString orgName;
          if (int rc = Name(org.rowId, &orgName); rc != SQLITE_OK) return rc;
          if (missing || regionNew) {
            ++s->notReceived;
            Emit(s, change_kind::NotReceived(), QString::fromUtf8(org.guid), orgName);
          } else {
            ++s->gone;
            Emit(s, change_kind::Gone(), QString::fromUtf8(org.guid), orgName);
          }
        }
        was.Next();
      } else if (order > 0) {  // only in the new harvest's region
        const Org org = is.Current();
        qint64 before = 0;
        if (int rc = FirstRow(base, org.guid, &before); rc != SQLITE_OK) return rc;
        QString orgName;
        if (int rc = Name(org.rowId, &orgName); rc != SQLITE_OK) return rc;
        if (missing || (before == 0 && regionOld)) {
          ++s->notReceived;
          Emit(s, change_kind::NotReceived(), QString::fromUtf8(org.guid), orgName);
        } else if (before == 0) {
          ++s->added;
          Emit(s, change_kind::Added(), QString::fromUtf8(org.guid), orgName);
        } else if (int rc = CompareFields(s, org.guid, before, org.rowId); rc != SQLITE_OK) {
          return rc;
        }
        is.Next();
      } else {
        const Org old = was.Current();
        const Org now = is.Current();
        if (missing) {
          QString orgName;
          if (int rc = Name(now.rowId, &orgName); rc != SQLITE_OK) return rc;
          ++s->notReceived;
          Emit(s, change_kind::NotReceived(), QString::fromUtf8(now.guid), orgName);
        } else if (int rc = CompareFields(s, now.guid, old.rowId, now.rowId); rc != SQLITE_OK) {
          return rc;
        }
        was.Next();
        is.Next();
      }
      if (was.Error() != SQLITE_OK) return was.Error();
      if (is.Error() != SQLITE_OK) return is.Error();
    }
    return Houses(base, oldName, name, regionOld, regionNew, s);
  }

  // Houses of one side's region whose (address, organisation) the other harvest lacks
  // anywhere; organisations not received on either side are left out.
  static QByteArray PairsSql(const char* table) {
    return QByteArray("INSERT INTO ") + table +
           " SELECT DISTINCT h.address_id, r.guid FROM row_data r "
           "JOIN house_list h ON h.rowid BETWEEN r.houses_from AND r.houses_to "
           "WHERE r.harvest_id = ?1 AND r.region = ?2 AND h.address_id <> ?4 "
           "AND lower(r.guid) NOT IN (SELECT org_guid FROM given_up WHERE harvest_id IN (?1, ?3)) "
           "AND (?5 = 0 OR EXISTS (SELECT 1 FROM row_data r3 WHERE r3.harvest_id = ?3 AND r3.guid = r.guid)) "
           "AND NOT EXISTS (SELECT 1 FROM house_list h2 JOIN row_data r2 ON r2.id = h2.row_id "
           "WHERE h2.harvest_id = ?3 AND h2.address_id = h.address_id AND r2.guid = r.guid)";
  }

  int Houses(qint64 base, const QString& oldName, const QString& name, bool regionOld, bool regionNew,
             RegionSummary* s) {
    historydb::Db db(db_);
    int rc = db.Exec("CREATE TEMP TABLE IF NOT EXISTS report_gone(address_id INTEGER, guid TEXT);"
                     "CREATE TEMP TABLE IF NOT EXISTS report_added(address_id INTEGER, guid TEXT);"
                     "DELETE FROM report_gone; DELETE FROM report_added;");
    if (rc != SQLITE_OK) return rc;
    qint64 empty = 0;
    {
      historydb::Statement find(db_, "SELECT id FROM addresses WHERE hash = ?1 AND text = ''");
      find.Bind(1, historydb::AddressHash("", 0));
      rc = find.Step();
      if (rc != SQLITE_ROW && rc != SQLITE_DONE) return rc;
      empty = rc == SQLITE_ROW ? find.Int(0) : -1;
    }
    const auto fill = [&](const char* table, qint64 from, const QString& region, qint64 other, bool otherLacks) {
      historydb::Statement insert(db_, PairsSql(table));
      insert.Bind(1, from);
      insert.Bind(2, region);
      insert.Bind(3, other);
      insert.Bind(4, empty);
      insert.Bind(5, otherLacks ? 1 : 0);
      const int step = insert.Step();
      return step == SQLITE_DONE ? SQLITE_OK : step;
    };
    if (rc = fill("report_gone", base, oldName, harvest_, regionNew); rc != SQLITE_OK) return rc;
    if (rc = fill("report_added", harvest_, name, base, regionOld); rc != SQLITE_OK) return rc;

    historydb::Statement nameOf(db_, "SELECT full_name FROM row_data WHERE harvest_id = ?1 AND guid = ?2 LIMIT 1");
    const auto orgName = [&](qint64 harvest, const QByteArrayView guid) {
      nameOf.Reset();
      nameOf.Bind(1, harvest);
      nameOf.BindBytes(2, guid.data(), guid.size());
      return nameOf.Step() == SQLITE_ROW ? nameOf.Text(0) : QString();
    };

    historydb::Statement moved(db_, "SELECT a.text, g.guid, d.guid FROM report_gone g "
                                    "JOIN report_added d ON d.address_id = g.address_id "
                                    "JOIN addresses a ON a.id = g.address_id ORDER BY a.text, g.guid, d.guid");
    while ((rc = moved.Step()) == SQLITE_ROW) {
      const QByteArray to = moved.Bytes(2).toByteArray();
      ++s->housesMoved;
      Emit(s, change_kind::HouseMoved(), QString::fromUtf8(to), orgName(harvest_, to), moved.Text(0), moved.Text(1),
           QString::fromUtf8(to));
    }
    if (rc != SQLITE_DONE) return rc;
    historydb::Statement gone(db_, "SELECT a.text, g.guid FROM report_gone g JOIN addresses a ON a.id = g.address_id "
                                   "WHERE g.address_id NOT IN (SELECT address_id FROM report_added) ORDER BY a.text, g.guid");
    while ((rc = gone.Step()) == SQLITE_ROW) {
      const QByteArray from = gone.Bytes(1).toByteArray();
      ++s->housesGone;
      Emit(s, change_kind::HouseGone(), QString::fromUtf8(from), orgName(base, from), gone.Text(0), QString::fromUtf8(from));
    }
    if (rc != SQLITE_DONE) return rc;
    historydb::Statement added(db_, "SELECT a.text, d.guid FROM report_added d JOIN addresses a ON a.id = d.address_id "
                                    "WHERE d.address_id NOT IN (SELECT address_id FROM report_gone) ORDER BY a.text, d.guid");
    while ((rc = added.Step()) == SQLITE_ROW) {
      const QByteArray to = added.Bytes(1).toByteArray();
      ++s->housesAdded;
      Emit(s, change_kind::HouseAdded(), QString::fromUtf8(to), orgName(harvest_, to), added.Text(0), QString(),
           QString::fromUtf8(to));
    }
    if (rc != SQLITE_DONE) return rc;
    return db.Exec("DELETE FROM report_gone; DELETE FROM report_added;");
  }

  HarvestHistory& history_;
  sqlite3* db_;
  qint64 harvest_;
  const std::function<void(const ChangeLine&)>& line_;
  QStringList titles_;
  historydb::Statement firstRowOf_;
  historydb::Statement card_;
};

// ---------------------------------------------------------------------------------------------
// The workbook.

struct WorkbookDeleter {
  void operator()(lxw_workbook* wb) const { lxw_workbook_free(wb); }
};

const char* const kDetailTitles[] = {"Регион", "Изменение", "ID", "Организация", "Поле или адрес дома", "Было", "Стало"};

class ReportBook {
 public:
  bool Open(const QString& path, QString* why) {
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;  // rows go to disk as they come
    QByteArray name = NarrowFileName(path);
    if (name.isEmpty()) {
      QFile(path).open(QIODevice::WriteOnly);
      name = NarrowFileName(path);
    }
    if (name.isEmpty()) {
      *why = QStringLiteral("его имя не записать в кодировке системы");
      return false;
    }
    wb_.reset(workbook_new_opt(name.constData(), &options));
    if (!wb_) {
      *why = QStringLiteral("книга не создана");
      return false;
    }
    bold_ = workbook_add_format(wb_.get());
    format_set_bold(bold_);
    summary_ = AddSheet("Сводка");
    orgs_ = AddSheet("Организации");
    fields_ = AddSheet("Поля");
    houses_ = AddSheet("Дома");
    if (!summary_.ws || !orgs_.ws || !fields_.ws || !houses_.ws) {
      *why = QStringLiteral("в книгу не добавлен лист");
      return false;
    }
    for (struct Sheet* s : {&orgs_, &fields_, &houses_}) {
      QStringList titles;
      for (const char* t : kDetailTitles) titles << QString::fromUtf8(t);
      Row(*s, titles, true);
      worksheet_set_column(s->ws, 0, 3, 30, nullptr);
      worksheet_set_column(s->ws, 4, 6, 45, nullptr);
    }
    Row(summary_,
        {QStringLiteral("Регион"), QStringLiteral("Сравнён со сбором"), QStringLiteral("Организаций добавлено"),
         QStringLiteral("исчезло"), QStringLiteral("не получено"), QStringLiteral("с изменёнными полями"),
         QStringLiteral("Полей изменено"), QStringLiteral("Домов перешло"), QStringLiteral("добавлено"),
         QStringLiteral("исчезло")},
        true);
    worksheet_set_column(summary_.ws, 0, 1, 35, nullptr);
    worksheet_set_column(summary_.ws, 2, 9, 14, nullptr);
    return true;
  }

  void Add(const ChangeLine& line) {
    struct Sheet& s = line.kind == change_kind::Field() ? fields_
               : (line.kind == change_kind::HouseMoved() || line.kind == change_kind::HouseAdded() ||
                  line.kind == change_kind::HouseGone())
                   ? houses_
                   : orgs_;
    Row(s, {line.region, line.kind, line.guid, line.name, line.item, line.before, line.after}, false);
  }

  void Summary(const QList<RegionSummary>& regions) {
    for (const RegionSummary& r : regions) {
      const lxw_row_t row = summary_.row++;
      Cell(summary_.ws, row, 0, r.region, nullptr);
      Cell(summary_.ws, row, 1, r.isNew ? QStringLiteral("новый регион, не сравнивается") : QString::number(r.baseHarvest), nullptr);
      const qint64 counts[] = {r.added, r.gone, r.notReceived, r.changedOrgs, r.changedFields, r.housesMoved, r.housesAdded, r.housesGone};
      lxw_col_t col = 2;
      for (qint64 n : counts) Check(worksheet_write_number(summary_.ws, row, col++, double(n), nullptr));
    }
    if (cut_) Cell(summary_.ws, summary_.row++, 0, QStringLiteral("Лист заполнен до предела, полный список в файле .tab"), bold_);
  }

  // Writes the file; false with the library's reason.
  bool Close(QString* why) {
    if (error_ != LXW_NO_ERROR) {
      *why = QString::fromUtf8(lxw_strerror(error_));
      return false;
    }
    const lxw_error rc = workbook_close(wb_.release());
    if (rc != LXW_NO_ERROR) {
      *why = QString::fromUtf8(lxw_strerror(rc));
      return false;
    }
    return true;
  }

 private:
  struct Sheet {
    lxw_worksheet* ws = nullptr;
    lxw_row_t row = 0;
  };
  struct Sheet AddSheet(const char* name) { return {workbook_add_worksheet(wb_.get(), name), 0}; }

  void Check(lxw_error rc) {
    if (rc != LXW_NO_ERROR && error_ == LXW_NO_ERROR) error_ = rc;
  }
  void Cell(lxw_worksheet* ws, lxw_row_t row, lxw_col_t col, const QString& text, lxw_format* format) {
    if (text.isEmpty()) return;
    // A cell holds at most 32,767 characters; the .tab file keeps the whole text.
    Check(worksheet_write_string(ws, row, col, text.left(32767).toUtf8().constData(), format));
  }
  void Row(struct Sheet& s, const QStringList& cells, bool header) {
    if (s.row >= LXW_ROW_MAX - 1) {
      cut_ = true;
      return;
    }
    for (int c = 0; c < cells.size(); ++c) Cell(s.ws, s.row, lxw_col_t(c), cells[c], header ? bold_ : nullptr);
    if (header) worksheet_freeze_panes(s.ws, 1, 0);
    ++s.row;
  }

  std::unique_ptr<lxw_workbook, WorkbookDeleter> wb_;
  lxw_format* bold_ = nullptr;
  struct Sheet summary_, orgs_, fields_, houses_;
  lxw_error error_ = LXW_NO_ERROR;
  bool cut_ = false;
};

QByteArray TabLine(const QStringList& cells) {
  QStringList clean;
  for (QString cell : cells) {
    // The fields came from result rows and keep no TAB or line break; the report's own
    // texts neither: made sure all the same, a line is one change.
    cell.replace(u'\t', u' ').replace(u'\r', u' ').replace(u'\n', u' ');
    clean << cell;
  }
  return clean.join(u'\t').toUtf8() + "\r\n";
}

}  // namespace

HistoryOutcome ForEachChange(HarvestHistory& history, qint64 harvestId,
                             const std::function<void(const ChangeLine&)>& line,
                             QList<RegionSummary>* summary) {
  if (!history.IsOpen()) {
    if (HistoryOutcome opened = history.Open(QStringLiteral("Отчёт об изменениях не составлен")); !opened) return opened;
  }
  Comparer comparer(history, harvestId, line);
  return comparer.Run(summary);
}

QString ChangeReportHeader() {
  QStringList titles;
  for (const char* t : kDetailTitles) titles << QString::fromUtf8(t);
  return titles.join(u'\t');
}

ReportOutcome WriteChangeReport(HarvestHistory& history, qint64 harvestId, const QString& xlsxPath,
                                const QString& tabPath) {
  ReportOutcome out;
  const auto fileFailed = [&](const QString& path, const QString& why) {
    out.outcome = {};
    out.outcome.reason = QStringLiteral("Отчёт об изменениях %1 не записан: %2.").arg(QDir::toNativeSeparators(path), why);
    return out;
  };
  AtomicFile tab(tabPath);
  if (!tab.Open()) return fileFailed(tabPath, tab.ErrorString());
  const QString xlsxPart = xlsxPath + QStringLiteral(".part");
  ReportBook book;
  QString why;
  if (!book.Open(xlsxPart, &why)) {
    RemoveFile(xlsxPart);
    return fileFailed(xlsxPath, why);
  }
  tab.Write(QByteArray("\xEF\xBB\xBF") + ChangeReportHeader().toUtf8() + "\r\n");
  out.outcome = ForEachChange(
      history, harvestId,
      [&](const ChangeLine& line) {
        ++out.lines;
        book.Add(line);
        tab.Write(TabLine({line.region, line.kind, line.guid, line.name, line.item, line.before, line.after}));
      },
      &out.summary);
  if (!out.outcome) {
    book.Close(&why);
    RemoveFile(xlsxPart);
    return out;
  }
  book.Summary(out.summary);
  if (!book.Close(&why)) {
    RemoveFile(xlsxPart);
    return fileFailed(xlsxPath, why);
  }
  if (!tab.Commit()) {
    RemoveFile(xlsxPart);
    return fileFailed(tabPath, tab.ErrorString());
  }
  if (FileOutcome placed = ReplaceFileDurably(xlsxPart, xlsxPath); !placed) {
    RemoveFile(xlsxPart);
    return fileFailed(xlsxPath, placed.reason);
  }
  return out;
}
