#include "harvest/job_context.h"

#include <QCryptographicHash>
#include <QSet>

#include "portal/api.h"

namespace {

const QString kFormatTag1 = QStringLiteral("#orgharvester-context 1");
const QString kFormatTag = QStringLiteral("#orgharvester-context 2");
const QString kCurrentLetter = QStringLiteral("Q");
const QString kPreviousLetter = QStringLiteral("P");
const QString kRegionLetter = QStringLiteral("R");
const QString kOrgRegionLetter = QStringLiteral("O");
const QString kCardLetter = QStringLiteral("C");
// A task that ended runs unfinished: the task and the number of runs in a row. Programs
// that do not know the letter skip the line.
const QString kFailedLetter = QStringLiteral("F");
// A row of the result file: its offset and its task.
const QString kRowLetter = QStringLiteral("W");
// The harvest under way: "H", a field name, then its values.
const QString kHarvestLetter = QStringLiteral("H");
// The lines of the list of given-up tasks each record counts: the current's, the previous's.
// On a line of its own, so that programs that do not know it keep reading the records.
const QString kGivenUpLinesLetter = QStringLiteral("G");

// How a character the files cannot hold as it is gets written; nullptr for any other. A NUL
// would end the file's text, the rest would break its lines and fields.
const char* EscapeOf(char16_t u) {
  switch (u) {
    case '\\': return "\\\\";
    case '\t': return "\\t";
    case '\r': return "\\r";
    case '\n': return "\\n";
    case 0: return "\\0";
    default: return nullptr;
  }
}

// Values without anything to escape are returned as they are, without a copy; others are
// copied in runs between the characters that need it.
QString Escape(const QString& value) {
  qsizetype run = 0;
  while (run < value.size() && !EscapeOf(value[run].unicode())) ++run;
  if (run == value.size()) return value;
  QString out;
  out.reserve(value.size() + value.size() / 8 + 8);
  const QStringView all(value);
  qsizetype start = 0;
  for (qsizetype i = run; i < value.size(); ++i) {
    const char* escape = EscapeOf(value[i].unicode());
    if (!escape) continue;
    out.append(all.mid(start, i - start));
    out += QLatin1String(escape, 2);
    start = i + 1;
  }
  out.append(all.mid(start));
  return out;
}

// The same escaping on UTF-8: every character escaped is ASCII, and no byte of a longer
// character is, so the bytes are those of Escape()'s text.
void AppendEscapedUtf8(QByteArray& out, QByteArrayView value) {
  qsizetype start = 0;
  for (qsizetype i = 0; i < value.size(); ++i) {
    const char* escape = EscapeOf(static_cast<unsigned char>(value[i]));
    if (!escape) continue;
    out.append(value.constData() + start, i - start);
    out.append(escape, 2);
    start = i + 1;
  }
  out.append(value.constData() + start, value.size() - start);
}

QString Unescape(const QString& value) {
  if (!value.contains(QLatin1Char('\\'))) return value;
  QString out;
  out.reserve(value.size());
  for (qsizetype i = 0; i < value.size(); ++i) {
    QChar c = value[i];
    if (c != QLatin1Char('\\') || i + 1 == value.size()) {
      out += c;
      continue;
    }
    QChar n = value[++i];
    switch (n.unicode()) {
      case 't': out += QLatin1Char('\t'); break;
      case 'r': out += QLatin1Char('\r'); break;
      case 'n': out += QLatin1Char('\n'); break;
      case '0': out += QChar(0); break;
      default: out += n;  // "\\" and anything unexpected: the character itself
    }
  }
  return out;
}

}  // namespace

QString QueueHash(const QByteArray& listsBytes) {
  return QString::fromLatin1(QCryptographicHash::hash(listsBytes, QCryptographicHash::Sha1).toHex());
}

QString QueueHashOfLines(const QStringList& lines) {
  QCryptographicHash hash(QCryptographicHash::Sha1);
  hash.addData(QByteArrayView("\xEF\xBB\xBF"));
  for (const QString& line : lines) {
    hash.addData(line.toUtf8());
    hash.addData(QByteArrayView("\r\n"));
  }
  return QString::fromLatin1(hash.result().toHex());
}

void ContextEntryWriter::Add(const QString& letter, QSet<QString>& seen, const KeyValueList& list, const QString& key) {
  // One look-up: the value is written from where the list keeps it.
  const std::optional<QByteArrayView> value = list.FindUtf8(key);
  if (!value) return;
  QString folded = key.toCaseFolded();
  if (seen.contains(folded)) return;
  seen.insert(std::move(folded));
  QByteArray line;
  line.reserve(key.size() * 3 + value->size() + value->size() / 8 + 8);
  line.append(letter.toLatin1()).append('\t');
  AppendEscapedUtf8(line, key.toUtf8());
  line.append('\t');
  AppendEscapedUtf8(line, *value);
  out_(line);
}

void ContextEntryWriter::AddTasks(const QStringList& tasks) {
  for (const QString& task : tasks) {
    if (task.trimmed().isEmpty()) continue;
    const TaskParts parts = ParseTask(task);
    switch (parts.kind) {
      case RegionCount:
      case SearchPage:
        Add(kRegionLetter, regions_, run_.RegionNames, parts.value);
        break;
      case OrgCard:
        Add(kOrgRegionLetter, orgRegions_, run_.OrgRegions, parts.orgGuid);
        break;
      case HouseCount:
      case HousePage:
        Add(kOrgRegionLetter, orgRegions_, run_.OrgRegions, parts.orgGuid);
        Add(kCardLetter, cards_, run_.OrgCards, parts.orgGuid);
        break;
    }
  }
}

namespace {

QString RecordLine(const QString& letter, const QueueRecord& record) {
  return letter + QLatin1Char('\t') + record.queueHash + QLatin1Char('\t') +
         Escape(record.resultFile) + QLatin1Char('\t') + QString::number(record.resultLength);
}

std::optional<QueueRecord> ParseRecord(const QStringList& parts) {
  if (parts.size() != 4 || parts[1].isEmpty()) return std::nullopt;
  bool ok = false;
  QueueRecord record;
  record.queueHash = parts[1];
  record.resultFile = Unescape(parts[2]);
  record.resultLength = parts[3].toLongLong(&ok);
  if (!ok) return std::nullopt;
  return record;
}

}  // namespace

QStringList ContextHeadLines(const std::optional<QueueRecord>& current, const std::optional<QueueRecord>& previous) {
  QStringList lines{kFormatTag};
  if (current) lines << RecordLine(kCurrentLetter, *current);
  if (previous) lines << RecordLine(kPreviousLetter, *previous);
  const qint64 currentLines = current ? current->givenUpLines : -1;
  const qint64 previousLines = previous ? previous->givenUpLines : -1;
  if (currentLines >= 0 || previousLines >= 0)
    lines << kGivenUpLinesLetter + QLatin1Char('\t') + QString::number(currentLines) + QLatin1Char('\t') +
                 QString::number(previousLines);
  return lines;
}

QString FailedRunsLine(const QString& task, int runs) {
  return kFailedLetter + QLatin1Char('\t') + Escape(task) + QLatin1Char('\t') + QString::number(runs);
}

QString WrittenRowLine(const WrittenRow& row) {
  return kRowLetter + QLatin1Char('\t') + QString::number(row.offset) + QLatin1Char('\t') + Escape(row.task);
}

void ContextFileReader::Line(const QString& line) {
  if (lines_++ == 0) {
    format_ = line == kFormatTag ? 2 : line == kFormatTag1 ? 1 : 0;
    return;
  }
  const bool records = format_ == 2;
  if (format_ == 0) return;
  if (records && line.startsWith(kCurrentLetter + QLatin1Char('\t'))) {
    if (!file_.current) file_.current = ParseRecord(line.split(QLatin1Char('\t')));
  } else if (records && line.startsWith(kPreviousLetter + QLatin1Char('\t'))) {
    if (!file_.previous) file_.previous = ParseRecord(line.split(QLatin1Char('\t')));
  } else if (records && line.startsWith(kGivenUpLinesLetter + QLatin1Char('\t'))) {
    // Comes after the records it counts for.
    const QStringList parts = line.split(QLatin1Char('\t'));
    bool currentOk = false, previousOk = false;
    const qint64 currentLines = parts.value(1).toLongLong(&currentOk);
    const qint64 previousLines = parts.value(2).toLongLong(&previousOk);
    if (parts.size() == 3 && currentOk && previousOk) {
      if (file_.current) file_.current->givenUpLines = currentLines;
      if (file_.previous) file_.previous->givenUpLines = previousLines;
    }
  } else if (records && line.startsWith(kFailedLetter + QLatin1Char('\t'))) {
    const QStringList parts = line.split(QLatin1Char('\t'));
    bool ok = false;
    const int runs = parts.size() == 3 ? parts[2].toInt(&ok) : 0;
    if (ok && runs > 0) file_.failedRuns.insert(Unescape(parts[1]), runs);
  } else if (records && line.startsWith(kRowLetter + QLatin1Char('\t'))) {
    const QStringList parts = line.split(QLatin1Char('\t'));
    bool ok = false;
    const qint64 offset = parts.size() == 3 ? parts[1].toLongLong(&ok) : -1;
    if (ok && offset >= 0) file_.rows.append({offset, Unescape(parts[2])});
  } else {
    entry_(line);
  }
}

QStringList HarvestLines(const HarvestUnderWay& harvest) {
  QStringList lines;
  if (!harvest.Known()) return lines;
  const QString h = kHarvestLetter + QLatin1Char('\t');
  lines << h + QStringLiteral("started\t") + Escape(harvest.started);
  for (const auto& [key, name] : harvest.regions)
    lines << h + QStringLiteral("region\t") + Escape(key) + QLatin1Char('\t') + Escape(name);
  for (const QString& file : harvest.resultFiles) lines << h + QStringLiteral("file\t") + Escape(file);
  for (const HarvestUnderWay::GivenUp& g : harvest.givenUp)
    lines << h + QStringLiteral("given\t") + Escape(g.task) + QLatin1Char('\t') + Escape(g.orgGuid) +
                 QLatin1Char('\t') + Escape(g.regionKey);
  return lines;
}

namespace {

bool LoadHarvestLine(const QStringList& parts, HarvestUnderWay& harvest) {
  const QString& field = parts.value(1);
  if (field == u"started" && parts.size() == 3) {
    harvest.started = Unescape(parts[2]);
  } else if (field == u"region" && parts.size() == 4) {
    harvest.regions.append({Unescape(parts[2]), Unescape(parts[3])});
  } else if (field == u"file" && parts.size() == 3) {
    harvest.resultFiles.append(Unescape(parts[2]));
  } else if (field == u"given" && parts.size() == 5) {
    harvest.givenUp.append({Unescape(parts[2]), Unescape(parts[3]), Unescape(parts[4])});
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool LoadJobContextEntry(const QString& line, RunData& run) {
  const QStringList parts = line.split(QLatin1Char('\t'));
  if (parts.value(0) == kHarvestLetter) return LoadHarvestLine(parts, run.Harvest);
  if (parts.size() != 3) return false;
  const QString key = Unescape(parts[1]);
  const QString value = Unescape(parts[2]);
  if (parts[0] == kRegionLetter)
    run.RegionNames.Append(key, value);
  else if (parts[0] == kOrgRegionLetter)
    run.OrgRegions.Append(key, value);
  else if (parts[0] == kCardLetter)
    run.OrgCards.Append(key, value);
  else
    return false;
  return true;
}
