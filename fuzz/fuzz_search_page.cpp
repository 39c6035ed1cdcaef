// The search page handler with any answer body.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunData run = FuzzRun();
  WorkerOutcome w;
  w.Code = SearchPage;
  w.result = 1;
  w.regionguid2 = QStringLiteral("77");
  w.regionguid = QStringLiteral("0c5b2444-70a0-4932-980c-b4dc0d3f02b5");
  w.url = SearchPageTask(kFuzzBase, 1, w.regionguid2, w.regionguid);
  w.html = AnswerBytes(data, size);
  const HandlerResult result = HandleSearchPage(run, w);
  CheckQueue(run, result);
  FUZZ_CHECK(run.OrgRegions.Count() == run.PendingList.size());
  for (const QString& task : run.PendingList) FUZZ_CHECK(IsPlainToken(CardTaskOrgGuid(task)));
  return 0;
}
