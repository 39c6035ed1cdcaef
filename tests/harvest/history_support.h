#pragma once
// Harvests made without the network for the history's tests: the rows a run would write for a
// substitute-portal dataset, written as real result files, and the changes a mutation of
// that dataset is known to make.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSet>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <map>

#include "harvest/cards.h"
#include "harvest/changereport.h"
#include "harvest/handlers.h"
#include "harvest/history.h"
#include "harvest/historydb.h"
#include "harvest/resultfile.h"
#include "portal/api.h"
#include "tests/harvest/expectedrows.h"
#include "tools/portal-sim/dataset.h"

// Texts in failures as text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << text.toStdString(); }

namespace history_test {

// Two lists equal, and where not, what each lacks of the other.
inline ::testing::AssertionResult SameLines(const QStringList& got, const QStringList& want) {
  if (got == want) return ::testing::AssertionSuccess();
  QStringList extra = got, missing = want;
  for (const QString& l : want) extra.removeOne(l);
  for (const QString& l : got) missing.removeOne(l);
  auto out = ::testing::AssertionFailure();
  out << got.size() << " lines, " << want.size() << " wanted";
  for (const QString& l : extra.mid(0, 10)) out << "\n  extra: " << l.toStdString();
  for (const QString& l : missing.mid(0, 10)) out << "\n  missing: " << l.toStdString();
  if (extra.isEmpty() && missing.isEmpty()) out << " (same lines, another order)";
  return out;
}

inline QString Q(const std::string& s) { return QString::fromStdString(s); }

inline const QString kBase = QStringLiteral("https://127.0.0.1:8443/");

inline QString RegionKey(const simdata::Region& r) { return Q(r.code) + QStringLiteral("$$$") + Q(r.guid); }

// The card columns of an organisation as a run without additional information gets them.
inline QStringList OrgRows(const simdata::Dataset& ds, int org, const QString& region);
inline QStringList CardOf(const simdata::Dataset& ds, int org) {
  return OrgRows(ds, org, QString()).value(0).split(QLatin1Char('\t')).mid(2, kCardColumnCount);
}

// The rows of one organisation (one per house page) as the result file holds them, under the
// region name given.
inline QStringList OrgRows(const simdata::Dataset& ds, int org, const QString& region) {
  auto card = ExtractCardColumns(QByteArray::fromStdString(ds.CardJson(org)), QByteArray());
  if (!card) return {};
  RunData run;
  run.baseUrl = kBase;
  run.OrgRegions.Append(card->guid, region);
  run.OrgCards.Append(card->guid, card->columns.join(QLatin1Char('\t')));
  return ExpectedHouseRows(ds, org, card->guid, run);
}

// Every row of a harvest read back through the `rows` view, as the result file wrote it,
// sorted.
inline QStringList RowsOfHarvest(sqlite3* db, qint64 harvest) {
  historydb::Statement s(db, "SELECT " + HistoryColumnNames().join(u',').toUtf8() + " FROM rows WHERE harvest_id = ?1");
  s.Bind(1, harvest);
  QStringList rows;
  while (s.Step() == SQLITE_ROW) {
    QStringList f;
    for (int c = 0; c < 30; ++c) f << s.Text(c);
    rows << f.join(QLatin1Char('\t'));
  }
  rows.sort();
  return rows;
}

// Every row of a harvest of the given regions: an organisation listed in two of them is
// written once, under the first (a run writes it under whichever it met first).
inline QStringList HarvestRows(const simdata::Dataset& ds, const std::vector<int>& regions) {
  QStringList rows;
  QSet<int> seen;
  for (int r : regions)
    for (int org : ds.RegionOrgs(r))
      if (!seen.contains(org)) {
        seen.insert(org);
        rows += OrgRows(ds, org, Q(ds.Regions()[size_t(r)].name));
      }
  return rows;
}

// Writes rows as result files (split into `files` pieces, as a harvest continued after
// stops leaves them) and returns their paths.
inline QStringList WriteResultFiles(const QString& dir, const QString& stem, const QStringList& rows, int files = 1) {
  QStringList paths;
  const qsizetype per = (rows.size() + files - 1) / std::max(1, files);
  for (int f = 0; f < files; ++f) {
    const QString path = dir + stem + QString::number(f) + QStringLiteral(".tab");
    ResultFile file;
    EXPECT_TRUE(file.Open(path).ok);
    for (qsizetype i = f * per; i < std::min(rows.size(), (f + 1) * per); ++i)
      EXPECT_TRUE(file.WriteRow(rows[i].split(QLatin1Char('\t'))).ok);
    EXPECT_TRUE(file.Close().ok);
    paths << path;
  }
  return paths;
}

inline HarvestRecord Record(const simdata::Dataset& ds, const std::vector<int>& regions, const QStringList& files,
                            const QString& started) {
  HarvestRecord record;
  record.started = started;
  record.finished = started;
  for (int r : regions) record.regions.append({RegionKey(ds.Regions()[size_t(r)]), Q(ds.Regions()[size_t(r)].name)});
  record.resultFiles = files;
  return record;
}

inline QString LineText(const ChangeLine& l) {
  return QStringList{l.region, l.kind, l.guid, l.name, l.item, l.before, l.after}.join(QLatin1Char('\t'));
}

inline QStringList ChangesOf(HarvestHistory& history, qint64 harvest, QList<RegionSummary>* summary = nullptr) {
  QStringList lines;
  const HistoryOutcome done =
      ForEachChange(history, harvest, [&](const ChangeLine& l) { lines << LineText(l); }, summary);
  EXPECT_TRUE(done.ok) << done.reason.toStdString();
  return lines;
}

// The house addresses of an organisation in its house order, as the result file writes them.
inline QStringList Addresses(const simdata::Dataset& ds, int org) {
  QStringList all;
  for (const QString& row : OrgRows(ds, org, QString())) {
    const QStringList f = row.split(QLatin1Char('\t'));
    if (f[24].toLongLong() > 0) all += f[27].split(QLatin1Char('|'));
  }
  return all;
}

// Every line the report of `mutated` against `base` (the same Config without the mutation)
// must hold, from what the mutation says it changed, sorted.
inline QStringList ExpectedChanges(const simdata::Dataset& base, const simdata::Dataset& mutated) {
  const simdata::Mutations& m = mutated.Mutation();
  QStringList lines;
  const QStringList titles = ResultFile::HeaderLine().split(QLatin1Char('\t'));
  const auto region = [&](int org) { return Q(mutated.Regions()[size_t(mutated.OrgHomeRegion(org))].name); };
  const auto line = [&](int org, const QString& kind, const QString& name, const QString& item = {},
                        const QString& before = {}, const QString& after = {}) {
    lines << LineText({region(org), kind, Q(mutated.OrgGuid(org)), name, item, before, after});
  };
  for (int org : m.changed) {
    const QStringList was = CardOf(base, org), now = CardOf(mutated, org);
    for (int c = 0; c < now.size(); ++c)
      if (was[c] != now[c]) line(org, change_kind::Field(), now[0], titles[c + 2], was[c], now[c]);
  }
  for (int org : m.vanished) {
    line(org, change_kind::Gone(), CardOf(base, org)[0]);
    for (const QString& a : Addresses(base, org))
      if (!a.isEmpty()) line(org, change_kind::HouseGone(), CardOf(base, org)[0], a, Q(base.OrgGuid(org)));
  }
  for (int org : m.appeared) {
    line(org, change_kind::Added(), CardOf(mutated, org)[0]);
    for (const QString& a : Addresses(mutated, org))
      if (!a.isEmpty()) line(org, change_kind::HouseAdded(), CardOf(mutated, org)[0], a, {}, Q(mutated.OrgGuid(org)));
  }
  for (const auto& move : m.moves) {
    const QString address = Addresses(base, move.from).value(qsizetype(move.house));
    if (address.isEmpty()) continue;
    line(move.to, change_kind::HouseMoved(), CardOf(mutated, move.to)[0], address, Q(base.OrgGuid(move.from)),
         Q(mutated.OrgGuid(move.to)));
  }
  lines.sort();
  return lines;
}

}  // namespace history_test
