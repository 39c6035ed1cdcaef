// The card handler: card answer + additional information -> 22 card columns in OrgCards and
// the organisation's house count request.

#include "harvest/cards.h"

#include <array>

#include "harvest/handlers.h"
#include "portal/api.h"
#include "text/clean.h"

namespace {

// Result columns 3 to 24, as indexes into the 22 card columns.
enum CardColumn {
  kFullName,
  kShortName,
  kOgrn,
  kRegistrationDate,
  kInn,
  kKpp,
  kOkopf,
  kOrgAddress,
  kFactualAddress,
  kPostalAddress,
  kPhone,
  kEmail,
  kSite,
  kChiefLastName,
  kChiefFirstName,
  kChiefMiddleName,
  kChiefFio,
  kOpeningHours,
  kReceptionPerson,
  kReceptionAddress,
  kReceptionPhone,
  kReceptionHours,
};
static_assert(kReceptionHours + 1 == kCardColumnCount);

const QString kNull = QStringLiteral("null");

// "2008-05-12..." -> "12.05.2008"; "null" and empty give empty.
QString RegistrationDate(const QString& text) {
  if (text.isEmpty() || text == kNull) return {};
  return text.mid(8, 2) + u'.' + text.mid(5, 2) + u'.' + text.left(4);
}

QString FormattedAddressOf(const JsonValue& address) {
  return address.Member("formattedAddress").Text();
}

// The hh:mm of a date-time text: its characters 12 to 16.
QString TimeOf(const QString& dateTime) { return dateTime.mid(11, 5); }

bool NonEmptyArray(const JsonValue& v) { return v.IsArray() && v.Size() > 0; }

void FillAdditional(const QByteArray& additionalText, QStringList& col) {
  const JsonAnswer answer(additionalText);
  const JsonValue infos = answer.Root().Member("additionalInfos");
  if (!NonEmptyArray(infos)) return;
  const JsonValue info = infos.At(0);

  col[kChiefFio] = info.Member("chiefInfo").Member("fio").Text();

  const JsonValue opening = info.Member("organizationOpeningHours");
  if (NonEmptyArray(opening)) col[kOpeningHours] = FormatWeekSchedule(opening);

  const JsonValue receptions = info.Member("citizenReceptionInfoList");
  if (!NonEmptyArray(receptions)) return;
  const JsonValue reception = receptions.At(0);
  col[kReceptionPerson] = reception.Member("employeePosition").Text();
  col[kReceptionAddress] = FormattedAddressOf(reception.Member("citizensReceptionLocation"));
  const JsonValue phones = reception.Member("citizensReceptionPhones");
  if (NonEmptyArray(phones)) col[kReceptionPhone] = phones.At(0).Text();
  const JsonValue hours = reception.Member("citizensReceptionHours");
  if (NonEmptyArray(hours)) col[kReceptionHours] = FormatWeekSchedule(hours);
}

}  // namespace

QString FormatWeekSchedule(const JsonValue& days) {
  static const QString kTemplate = QStringLiteral("%from%-%to%, перерыв %from2%-%to2%");
  static const QString kBreakPart = QStringLiteral(", перерыв %from2%-%to2%");
  static const std::array<QString, 7> kPrefix = {
      QStringLiteral("воскресенье: "), QStringLiteral("понедельник: "),
      QStringLiteral("вторник: "),     QStringLiteral("среда: "),
      QStringLiteral("четверг: "),     QStringLiteral("пятница: "),
      QStringLiteral("суббота: "),
  };

  std::array<QString, 7> daySlots;  // 0 = Sunday ... 6 = Saturday
  for (const JsonValue& day : days.Items()) {
    QString text = kTemplate;
    const JsonValue open = day.Member("openHours");
    if (!open.Present()) {
      text.replace(QStringLiteral("%from%-%to%"), QStringLiteral("--"));
    } else if (open.Member("beginDate").Text() == kNull) {
      text.replace(kTemplate, QStringLiteral("выходной"));
    } else {
      text.replace(QStringLiteral("%from%"), TimeOf(open.Member("beginDate").Text()));
      text.replace(QStringLiteral("%to%"), TimeOf(open.Member("endDate").Text()));
    }
    const JsonValue pause = day.Member("breakHours");
    if (!pause.Present() || pause.Member("beginDate").Text() == kNull) {
      text.replace(kBreakPart, QString());
    } else {
      text.replace(QStringLiteral("%from2%"), TimeOf(pause.Member("beginDate").Text()));
      text.replace(QStringLiteral("%to2%"), TimeOf(pause.Member("endDate").Text()));
    }
    const int64_t dayOfWeek = day.Member("dayOfWeek").Integer();
    if (dayOfWeek >= 0 && dayOfWeek <= 6) daySlots[size_t(dayOfWeek)] = kPrefix[size_t(dayOfWeek)] + text;
  }
  return QStringList{daySlots[1], daySlots[2], daySlots[3], daySlots[4], daySlots[5], daySlots[6], daySlots[0]}.join(
      QStringLiteral("||"));
}

std::optional<CardColumns> ExtractCardColumns(const QByteArray& cardText,
                                              const QByteArray& additionalText) {
  const JsonAnswer answer(cardText);
  if (!answer.Root().IsObject()) return std::nullopt;
  const JsonValue card = answer.Root();

  CardColumns out;
  out.guid = card.Member("guid").Text();
  QStringList& col = out.columns;
  col.resize(kCardColumnCount);

  col[kFullName] = card.Member("fullName").Text();
  col[kShortName] = card.Member("shortName").Text();
  col[kOgrn] = card.Member("ogrn").Text();
  col[kRegistrationDate] = RegistrationDate(card.Member("stateRegistrationDate").Text());
  col[kInn] = card.Member("inn").Text();
  col[kKpp] = card.Member("kpp").Text();
  const JsonValue okopf = card.Member("okopf");
  if (okopf.Present())
    col[kOkopf] = okopf.Member("code").Text() + u'-' + okopf.Member("name").Text();
  col[kOrgAddress] = card.Member("orgAddress").Text();
  if (col[kOrgAddress] == kNull) col[kOrgAddress].clear();
  col[kFactualAddress] = FormattedAddressOf(card.Member("factualAddress"));
  col[kPostalAddress] = FormattedAddressOf(card.Member("postalAddress"));
  col[kPhone] = card.Member("phone").Text();
  col[kEmail] = card.Member("orgEmail").Text();
  col[kSite] = card.Member("url").Text();
  col[kChiefLastName] = HtmlToText(card.Member("chiefLastName").Text());
  col[kChiefFirstName] = HtmlToText(card.Member("chiefFirstName").Text());
  col[kChiefMiddleName] = HtmlToText(card.Member("chiefMiddleName").Text());

  FillAdditional(additionalText, col);

  for (QString& value : col) value = CleanField(value);
  return out;
}

HandlerResult HandleOrgCard(RunData& run, const WorkerOutcome& worker) {
  // An empty body or one that is not an object holds no card: no row could come of it.
  std::optional<CardColumns> card = ExtractCardColumns(worker.html, worker.html2);
  if (!card) return KeepUnreadable(worker.html, QStringLiteral("карточка не JSON-объект"));
  // JSON null reads as the text "null", which is no GUID either.
  if (!IsPlainToken(card->guid) || card->guid == kNull)
    return KeepTask(QStringLiteral("Ответ не прочитан (guid карточки не из простых символов: \"%1\")")
                        .arg(PrintableValue(card->guid, 80)));
  const HandlerResult queued = Enqueue(run, 1, [&](qsizetype) { return HouseCountTask(run.baseUrl, card->guid); });
  if (!queued.Settled()) return queued;
  // Joined column by column, each freed once it is in: a field of tens of megabytes is then
  // held twice at most, not three times.
  QString part;
  qsizetype size = card->columns.size();
  for (const QString& value : card->columns) size += value.size();
  part.reserve(size);
  for (qsizetype i = 0; i < card->columns.size(); ++i) {
    if (i > 0) part += u'\t';
    part += card->columns[i];
    card->columns[i] = QString();
  }
  run.OrgCards.Append(card->guid, part);

  // The additional information is not needed for the row; one that cannot be read leaves its
  // columns empty, but not without a word.
  if (!worker.html2.isEmpty()) {
    const JsonAnswer additional(worker.html2);
    if (!additional.Ok() || !additional.Root().IsObject())
      return {false, QStringLiteral("Доп. информация не прочитана (не JSON-объект), её колонки пусты: %1")
                         .arg(PrintableValue(TaskOf(worker), 300)),
              false};
  }
  return {};
}
