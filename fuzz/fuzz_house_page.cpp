// The house page handler with any answer body, for an organisation whose card is known.
#include "fuzz_support.h"
#include "harvest/cards.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunData run = FuzzRun();
  const QString guid = QStringLiteral("a1b2c3d4-0000-4000-8000-000000000001");
  run.OrgRegions.Append(guid, QStringLiteral("Москва"));
  QStringList card;
  for (int i = 0; i < kCardColumnCount; ++i) card << QStringLiteral("ООО \"c%1\"").arg(i);
  run.OrgCards.Append(guid, card.join(u'\t'));
  WorkerOutcome w;
  w.Code = HousePage;
  w.result = 1;
  w.orgguid = guid;
  w.url = HousePageTask(kFuzzBase, 1, guid).section(QStringLiteral("|||"), 0, 0);
  w.html = AnswerBytes(data, size);
  std::optional<QStringList> row;
  const HandlerResult result = HandleHousePage(run, w, &row);
  CheckQueue(run, result);
  FUZZ_CHECK(result.keep != row.has_value());
  if (row) {
    FUZZ_CHECK(row->size() == 30);
    for (qsizetype i = 2; i < 24; ++i) FUZZ_CHECK(!row->at(i).contains(u'"'));
  }
  return 0;
}
