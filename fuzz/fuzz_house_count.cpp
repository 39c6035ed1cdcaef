// The house count handler with any answer body.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunData run = FuzzRun();
  WorkerOutcome w;
  w.Code = HouseCount;
  w.result = 1;
  w.orgguid = QStringLiteral("a1b2c3d4-0000-4000-8000-000000000001");
  w.url = HouseCountTask(kFuzzBase, w.orgguid).section(QStringLiteral("|||"), 0, 0);
  w.html = AnswerBytes(data, size);
  const HandlerResult result = HandleHouseCount(run, w);
  CheckQueue(run, result);
  FUZZ_CHECK(run.PendingList.size() <= kMaxOrganisationHouses / kHousePageSize);
  FUZZ_CHECK(result.keep ? run.PendingList.isEmpty() : !run.PendingList.isEmpty());
  return 0;
}
