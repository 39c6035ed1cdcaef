#pragma once
// What changed between a harvest and the harvests before it, region by region: written as
// "changesN.xlsx" (a summary sheet, then organisations, changed fields and houses) and
// "changesN.tab" (UTF-8 with a mark, TAB-separated, one change a line).
//
// Each region of the harvest is compared with the latest earlier harvest in the history that
// covered the same region key; a region no earlier harvest covered is named as new and not
// compared. An organisation is known by its GUID: it is gone only when the new harvest has
// it in no region at all, added only when the earlier one had it nowhere (an organisation
// listed in two regions may carry either region's name from run to run). Its card columns
// (3 to 24) are compared one by one. A house is known by its address, so a house without
// one cannot be followed and is left out; a house whose address left one organisation and
// came to another within the region has moved. An organisation with a task given up for
// good in either harvest (or, when a region's own count or search page was given up, any
// organisation that harvest lacks in that region) is "не получена": never gone or added,
// its fields and houses not compared. The differences are made by SQL over the history, so
// memory stays bounded however large the harvests are.

#include <QList>
#include <QString>
#include <functional>

#include "harvest/history.h"

struct ChangeLine {
  QString region;  // the region's name in the new harvest
  QString kind;    // one of the Kind texts below
  QString guid;    // the organisation (for a moved house: the one it came to)
  QString name;    // its full name
  QString item;    // the column's title, or the house's address
  QString before;  // old value; for a house: the organisation's GUID it was with
  QString after;   // new value; for a house: the organisation's GUID it is with now
  bool operator==(const ChangeLine&) const = default;
};

namespace change_kind {
inline QString NewRegion() { return QStringLiteral("новый регион"); }
inline QString Added() { return QStringLiteral("организация добавлена"); }
inline QString Gone() { return QStringLiteral("организация исчезла"); }
inline QString NotReceived() { return QStringLiteral("не получена"); }
inline QString Field() { return QStringLiteral("поле изменено"); }
inline QString HouseMoved() { return QStringLiteral("дом перешёл"); }
inline QString HouseAdded() { return QStringLiteral("дом добавлен"); }
inline QString HouseGone() { return QStringLiteral("дом исчез"); }
}  // namespace change_kind

struct RegionSummary {
  QString region;
  bool isNew = false;
  qint64 baseHarvest = 0;  // the harvest it was compared with
  qint64 added = 0, gone = 0, notReceived = 0, changedOrgs = 0, changedFields = 0;
  qint64 housesMoved = 0, housesAdded = 0, housesGone = 0;
};

// Walks the changes of harvest `harvestId` against the earlier ones, region by region in the
// harvest's order, handing each line to `line` as it is found; `summary` gets one entry per
// region.
HistoryOutcome ForEachChange(HarvestHistory& history, qint64 harvestId,
                             const std::function<void(const ChangeLine&)>& line,
                             QList<RegionSummary>* summary);

struct [[nodiscard]] ReportOutcome {
  HistoryOutcome outcome;  // a file that could not be written names the file, retry false
  qint64 lines = 0;
  QList<RegionSummary> summary;
};

// The header line of "changesN.tab" (without its line end).
QString ChangeReportHeader();

// Writes both files, each replaced atomically: either the whole new file or none at all.
ReportOutcome WriteChangeReport(HarvestHistory& history, qint64 harvestId, const QString& xlsxPath,
                                const QString& tabPath);
