// The card handler: the input is the card answer, then (after the first NUL byte, when there
// is one) the additional-information answer.
#include <cstring>

#include "fuzz_support.h"
#include "harvest/cards.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const size_t cardSize = nul ? size_t(nul - data) : size;
  RunData run = FuzzRun();
  WorkerOutcome w;
  w.Code = OrgCard;
  w.result = 1;
  w.url = OrgCardTask(kFuzzBase, QStringLiteral("g1"));
  w.html = AnswerBytes(data, cardSize);
  if (nul) w.html2 = AnswerBytes(nul + 1, size - cardSize - 1);
  const HandlerResult result = HandleOrgCard(run, w);
  CheckQueue(run, result);
  FUZZ_CHECK(run.PendingList.size() <= 1);
  FUZZ_CHECK(run.OrgCards.Count() == run.PendingList.size());
  if (run.OrgCards.Count() == 1) {
    // 22 clean values: exactly 21 TABs and no other control character.
    const QString part = run.OrgCards.ValueAt(0);
    FUZZ_CHECK(part.count(u'\t') == kCardColumnCount - 1);
    for (QChar c : part) FUZZ_CHECK(c == u'\t' || (c.unicode() >= 0x20 && c.unicode() != 0x7F));
    FUZZ_CHECK(IsPlainToken(run.OrgCards.KeyAt(0)));
  }
  return 0;
}
