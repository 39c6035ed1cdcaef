// The region count handler with any answer body.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunData run = FuzzRun();
  WorkerOutcome w;
  w.Code = RegionCount;
  w.result = 1;
  w.url = QStringLiteral("77$$$0c5b2444-70a0-4932-980c-b4dc0d3f02b5");
  w.regionguid2 = QStringLiteral("77");
  w.regionguid = QStringLiteral("0c5b2444-70a0-4932-980c-b4dc0d3f02b5");
  w.html = AnswerBytes(data, size);
  const HandlerResult result = HandleRegionCount(run, w);
  CheckQueue(run, result);
  // At most one page per 100 of the largest plausible count.
  FUZZ_CHECK(run.PendingList.size() <= kMaxRegionOrganisations / kSearchPageSize);
  if (result.keep) FUZZ_CHECK(run.PendingList.isEmpty());
  return 0;
}
