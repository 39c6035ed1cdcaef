// Discovery: a region's organisation count becomes search pages, a search page becomes one
// card request per organisation.

#include "harvest/answer.h"
#include "harvest/handlers.h"
#include "portal/api.h"

QString TaskOf(const WorkerOutcome& worker) {
  if (!worker.task.isEmpty()) return worker.task;
  if (worker.Code == HouseCount || worker.Code == HousePage)
    return worker.url + kTaskValueMarker + worker.orgguid;
  return worker.url;
}

HandlerResult KeepTask(const QString& why) { return {true, why, false}; }

HandlerResult KeepUnreadable(const QByteArray& text, const QString& usual) {
  // Only on this path, so an answer is parsed a second time at most when it is unusable.
  if (JsonAnswer(text).TooManyValues())
    return KeepTask(QStringLiteral("Ответ не прочитан (больше %1 значений JSON)").arg(kMaxJsonValues));
  return KeepTask(QStringLiteral("Ответ не прочитан (%1)").arg(usual));
}

HandlerResult Enqueue(RunData& run, qsizetype count, const std::function<QString(qsizetype)>& make) {
  if (count > kMaxPendingTasks - run.PendingList.size())
    return {false,
            QStringLiteral("Очередь заполнена (%1 задач, ответ добавил бы ещё %2)").arg(kMaxPendingTasks).arg(count),
            true};
  for (qsizetype i = 0; i < count; ++i) {
    QString task = make(i);
    // Built by concatenation, a task holds room to grow; queued, it never grows again. A
    // country queues some 60,000 at a time.
    task.squeeze();
    if (!task.isEmpty()) run.PendingList.append(std::move(task));
  }
  return {};
}

HandlerResult HandleRegionCount(RunData& run, const WorkerOutcome& worker) {
  // The count is a bare number. Blanks and line breaks around it are tolerated: a body
  // such as "42\n" is still 42 organisations, not none.
  bool ok = false;
  const int64_t count = ParseWholeNumber(QString::fromUtf8(worker.html), &ok);
  if (!ok)
    return KeepTask(QStringLiteral("Ответ не прочитан (число организаций не число: \"%1\")")
                        .arg(PrintableValue(QString::fromUtf8(worker.html.left(200)), 40)));
  if (count < 0 || count > kMaxRegionOrganisations)
    return KeepTask(QStringLiteral("Ответ неправдоподобен (число организаций %1 вне 0..%2)")
                        .arg(count)
                        .arg(kMaxRegionOrganisations));
  const qsizetype pages = qsizetype((count + kSearchPageSize - 1) / kSearchPageSize);
  // The worker took both values from a task that only plain values reach, but a task from
  // an edited "lists.dat" is checked here too: nothing else goes into a task.
  if (pages > 0 && !IsPlainRegionKey(RegionKey(worker.regionguid2, worker.regionguid)))
    return KeepTask(QStringLiteral("Код или GUID региона не из простых символов"));
  const HandlerResult queued = Enqueue(run, pages, [&](qsizetype i) {
    return SearchPageTask(run.baseUrl, int(i + 1), worker.regionguid2, worker.regionguid);
  });
  if (!queued.Settled()) return queued;
  run.firmscounter = int32_t(count);
  return {};
}

HandlerResult HandleSearchPage(RunData& run, const WorkerOutcome& worker) {
  const JsonAnswer answer(worker.html);
  if (answer.TooManyValues()) return KeepUnreadable(worker.html, QString());
  if (!answer.Ok()) return KeepTask(QStringLiteral("Ответ не прочитан (не JSON)"));
  const JsonValue root = answer.Root();
  const JsonValue list = root.Member("organizationSummaryWithNsiList");
  if (!list.IsArray()) {
    // A page that says it has nothing needs no list; any other page without one is broken.
    if (root.IsObject() && root.Member("total").Count() == 0) return {};
    return KeepTask(QStringLiteral("Ответ не прочитан (нет массива organizationSummaryWithNsiList)"));
  }
  const std::vector<JsonValue> orgs = list.Items();
  const QString regionName =
      run.RegionNames.Lookup(RegionKey(worker.regionguid2, worker.regionguid));
  int skipped = 0;
  QString firstSkipped;
  const HandlerResult queued = Enqueue(run, qsizetype(orgs.size()), [&](qsizetype i) {
    const JsonValue guidValue = orgs[size_t(i)].Member("guid");
    const QString guid = guidValue.Text();
    // Only a plain token becomes part of a task: a line break in it would split the task
    // in the saved queue, another address in it would send the request elsewhere.
    if (guidValue.IsNull() || !IsPlainToken(guid)) {
      if (skipped++ == 0) firstSkipped = guidValue.Present() ? guid : QStringLiteral("(нет guid)");
      return QString();
    }
    run.OrgRegions.Append(guid, regionName);
    return OrgCardTask(run.baseUrl, guid);
  });
  if (!queued.Settled()) return queued;
  if (skipped == 0) return {};
  return {false, QStringLiteral("Пропущено организаций с GUID не из простых символов: %1 (первый: \"%2\") в ответе %3")
                     .arg(skipped)
                     .arg(PrintableValue(firstSkipped, 80), PrintableValue(TaskOf(worker), 300)),
          false};
}
