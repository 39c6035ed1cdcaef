// House statistics: the house count becomes house pages, a house page becomes a row.

#include <QSet>
#include <limits>

#include "harvest/answer.h"
#include "harvest/cards.h"
#include "harvest/handlers.h"
#include "portal/api.h"
#include "text/clean.h"

namespace {

const QString kNoHouses = QStringLiteral("Нет домов");

// Blanks and control characters (U+0000 to U+0020) off both ends; "null" reads as empty.
QString YearText(const JsonValue& value) {
  const QString text = value.Text();
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && text[begin].unicode() <= 0x20) ++begin;
  while (end > begin && text[end - 1].unicode() <= 0x20) --end;
  QString year = text.mid(begin, end - begin);
  if (year == u"null") year.clear();
  return year;
}

// Distinct values in order of first appearance. Whole values are compared, so 19 is still
// added after 1990 (a substring test would take it for a repeat). `seen` holds the list's
// values: an organisation with many houses of many years costs no walk of the list per house.
void AddDistinct(QStringList& list, QSet<QString>& seen, const QString& value) {
  if (value.isEmpty() || seen.contains(value)) return;
  seen.insert(value);
  list.append(value);
}

// A sum that sticks at the 64-bit limits instead of wrapping around.
int64_t SaturatingAdd(int64_t a, int64_t b) {
  int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

}  // namespace

HandlerResult HandleHouseCount(RunData& run, const WorkerOutcome& worker) {
  const JsonAnswer answer(worker.html);
  if (answer.TooManyValues()) return KeepUnreadable(worker.html, QString());
  if (!answer.Root().IsObject()) return KeepTask(QStringLiteral("Ответ не прочитан (не JSON-объект)"));
  // A missing or null total still asks for the first page; any other value must be a count.
  const JsonValue totalValue = answer.Root().Member("total");
  int64_t total = 0;
  if (totalValue.Present() && !totalValue.IsNull()) {
    const std::optional<int64_t> count = totalValue.Count();
    if (!count)
      return KeepTask(QStringLiteral("Ответ не прочитан (число домов не число: \"%1\")")
                          .arg(PrintableValue(totalValue.Text(), 40)));
    total = *count;
  }
  if (total < 0 || total > kMaxOrganisationHouses)
    return KeepTask(QStringLiteral("Ответ неправдоподобен (число домов %1 вне 0..%2)")
                        .arg(total)
                        .arg(kMaxOrganisationHouses));
  if (total == 0) total = 1;
  const qsizetype pages = qsizetype((total + kHousePageSize - 1) / kHousePageSize);
  if (!IsPlainToken(worker.orgguid)) return KeepTask(QStringLiteral("GUID организации не из простых символов"));
  const HandlerResult queued =
      Enqueue(run, pages, [&](qsizetype i) { return HousePageTask(run.baseUrl, int(i + 1), worker.orgguid); });
  if (!queued.Settled()) return queued;
  run.housescounter = int32_t(total);
  return {};
}

HandlerResult HandleHousePage(const RunData& run, const WorkerOutcome& worker,
                              std::optional<QStringList>* row) {
  *row = HousePageRow(run, worker);
  if (*row) return {};
  return KeepUnreadable(worker.html, QStringLiteral("нет массива items"));
}

std::optional<QStringList> HousePageRow(const RunData& run, const WorkerOutcome& worker) {
  const JsonAnswer answer(worker.html);
  const JsonValue items = answer.Root().Member("items");
  if (!items.IsArray()) return std::nullopt;

  const QString& guid = worker.orgguid;
  QStringList row;
  row.reserve(30);
  row << run.OrgRegions.Lookup(guid) << guid;

  // A task carried over from an earlier run has no card in this run's memory: its row
  // still gets all 22 card columns, empty, so that every row has the same 30 fields.
  QStringList card = run.OrgCards.Lookup(guid).split(u'\t');
  card.resize(kCardColumnCount);
  for (const QString& value : card) row << ReplaceQuotes(value);

  const std::vector<JsonValue> houses = items.Items();
  if (houses.empty()) {
    for (int i = 0; i < 5; ++i) row << kNoHouses;
  } else {
    QStringList operationYears;
    QStringList buildingYears;
    QSet<QString> operationSeen;
    QSet<QString> buildingSeen;
    QStringList addresses;
    addresses.reserve(qsizetype(houses.size()));
    int64_t residential = 0;  // 64-bit and saturating: large counts cannot wrap negative
    for (const JsonValue& house : houses) {
      AddDistinct(operationYears, operationSeen, YearText(house.Member("operationYear")));
      AddDistinct(buildingYears, buildingSeen, YearText(house.Member("buildingYear")));
      QString place = house.Member("address").Member("formattedAddress").Text();
      if (place == u"null") place.clear();
      addresses << place;  // one place per house, empty ones included
      residential = SaturatingAdd(residential, house.Member("residentialPremiseCount").Integer());
    }
    row << QString::number(houses.size()) << operationYears.join(u',')
        << buildingYears.join(u',') << addresses.join(u'|') << QString::number(residential);
  }
  row << OrganisationLink(run.baseUrl, guid);
  return row;
}
