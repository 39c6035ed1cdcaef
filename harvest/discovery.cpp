// Discovery: a region's organisation count becomes search pages, a search page becomes one
// card request per organisation.

#include <limits>

#include "harvest/answer.h"
#include "harvest/handlers.h"
#include "portal/api.h"

void HandleRegionCount(RunData& run, const WorkerOutcome& worker) {
  // The count is a bare number. Blanks and line breaks around it are tolerated: a body
  // such as "42\n" is still 42 organisations, not none.
  bool ok = false;
  int64_t count = ParseWholeNumber(worker.html, &ok);
  if (!ok || count > std::numeric_limits<int32_t>::max() ||
      count < std::numeric_limits<int32_t>::min()) {
    count = 0;
  }
  run.firmscounter = int32_t(count);
  for (int64_t page = 1; (page - 1) * kSearchPageSize < count; ++page) {
    run.PendingList.append(
        SearchPageTask(run.baseUrl, int(page), worker.regionguid2, worker.regionguid));
  }
}

void HandleSearchPage(RunData& run, const WorkerOutcome& worker) {
  const JsonAnswer answer(worker.html);
  const JsonValue list = answer.Root().Member("organizationSummaryWithNsiList");
  if (!list.IsArray()) return;
  const QString regionName =
      run.RegionNames.Lookup(RegionKey(worker.regionguid2, worker.regionguid));
  for (const JsonValue& org : list.Items()) {
    const QString guid = org.Member("guid").Text();
    run.OrgRegions.Append(guid, regionName);
    run.PendingList.append(OrgCardTask(run.baseUrl, guid));
  }
}
