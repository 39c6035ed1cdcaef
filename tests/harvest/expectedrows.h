#pragma once
// The rows a run writes for an organisation of a substitute-portal dataset, made by the
// job's own house page handler: what the run tests and the history tests hold results to.

#include <QString>
#include <QStringList>
#include <algorithm>
#include <cstdint>

#include "harvest/handlers.h"
#include "harvest/resultfile.h"
#include "portal/api.h"
#include "tools/portal-sim/dataset.h"

// The rows a run writes for the house pages of one organisation of the dataset, given the
// region and card columns it knows of it.
inline QStringList ExpectedHouseRows(const simdata::Dataset& ds, int org, const QString& guid,
                                     const RunData& run) {
  QStringList rows;
  const std::int64_t total = std::max<std::int64_t>(ds.HouseTotal(org), 1);
  for (std::int64_t page = 1; (page - 1) * kHousePageSize < total; ++page) {
    WorkerOutcome w;
    w.Code = HousePage;
    w.result = 1;
    w.orgguid = guid;
    w.html = QByteArray::fromStdString(ds.HousePageJson(org, page, kHousePageSize));
    if (auto row = HousePageRow(run, w)) rows.append(ResultFile::FormatRow(*row));
  }
  return rows;
}
