#pragma once
// The answer handlers: each turns one successful answer into further tasks at the end of
// the queue, into remembered context, or into a result row. They run on the job thread
// under JobLock and never throw for bad answers: an unusable answer does nothing.

#include <QStringList>
#include <optional>

#include "harvest/rundata.h"

// RegionCount: the bare number of organisations -> one SearchPage task per 100.
void HandleRegionCount(RunData& run, const WorkerOutcome& worker);
// SearchPage: each organisation of the page -> an OrgRegions line and an OrgCard task.
void HandleSearchPage(RunData& run, const WorkerOutcome& worker);
// OrgCard: the 22 card columns into OrgCards and a HouseCount task.
void HandleOrgCard(RunData& run, const WorkerOutcome& worker);
// HouseCount: one HousePage task per 1000 houses (at least one).
void HandleHouseCount(RunData& run, const WorkerOutcome& worker);
// HousePage: the 30 fields of the organisation's row for this page, or nothing when the
// answer gives no row. The job writes the row and counts it.
std::optional<QStringList> HousePageRow(const RunData& run, const WorkerOutcome& worker);
