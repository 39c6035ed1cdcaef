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

bool NeedsEscape(QChar c) {
  const char16_t u = c.unicode();
  return u == '\\' || u == '\t' || u == '\r' || u == '\n' || u == 0;
}

// Values without anything to escape are returned as they are, without a copy; others are
// copied in runs between the characters that need it.
QString Escape(const QString& value) {
  qsizetype run = 0;
  while (run < value.size() && !NeedsEscape(value[run])) ++run;
  if (run == value.size()) return value;
  QString out;
  out.reserve(value.size() + value.size() / 8 + 8);
  const QStringView all(value);
  qsizetype start = 0;
  for (qsizetype i = run; i < value.size(); ++i) {
    const char16_t u = value[i].unicode();
    if (!NeedsEscape(value[i])) continue;
    out.append(all.mid(start, i - start));
    start = i + 1;
    switch (u) {
      case '\\': out += QLatin1String("\\\\"); break;
      case '\t': out += QLatin1String("\\t"); break;
      case '\r': out += QLatin1String("\\r"); break;
      case '\n': out += QLatin1String("\\n"); break;
      default: out += QLatin1String("\\0"); break;  // a NUL would end the file's text
    }
  }
  out.append(all.mid(start));
  return out;
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

class Collector {
 public:
  explicit Collector(const RunData& run) : run_(run) {}

  void Region(const QString& key) {
    if (!run_.RegionNames.Contains(key) || !Once(regions_, key)) return;
    Add(kRegionLetter, key, run_.RegionNames.Lookup(key));
  }
  void OrgRegion(const QString& guid) {
    if (!run_.OrgRegions.Contains(guid) || !Once(orgRegions_, guid)) return;
    Add(kOrgRegionLetter, guid, run_.OrgRegions.Lookup(guid));
  }
  void Card(const QString& guid) {
    if (!run_.OrgCards.Contains(guid) || !Once(cards_, guid)) return;
    Add(kCardLetter, guid, run_.OrgCards.Lookup(guid));
  }
  QStringList Take() { return std::move(lines_); }

 private:
  static bool Once(QSet<QString>& seen, const QString& key) {
    QString folded = key.toCaseFolded();
    if (seen.contains(folded)) return false;
    seen.insert(folded);
    return true;
  }
  void Add(const QString& letter, const QString& key, const QString& value) {
    lines_ << letter + QLatin1Char('\t') + Escape(key) + QLatin1Char('\t') + Escape(value);
  }

  const RunData& run_;
  QStringList lines_;
  QSet<QString> regions_, orgRegions_, cards_;
};

}  // namespace

QString QueueHash(const QByteArray& listsBytes) {
  return QString::fromLatin1(QCryptographicHash::hash(listsBytes, QCryptographicHash::Sha1).toHex());
}

QStringList JobContextEntries(const RunData& run, const QStringList& tasks) {
  Collector out(run);
  for (const QString& task : tasks) {
    if (task.trimmed().isEmpty()) continue;
    const TaskParts parts = ParseTask(task);
    switch (parts.kind) {
      case RegionCount:
      case SearchPage:
        out.Region(parts.value);
        break;
      case OrgCard:
        out.OrgRegion(parts.orgGuid);
        break;
      case HouseCount:
      case HousePage:
        out.OrgRegion(parts.orgGuid);
        out.Card(parts.orgGuid);
        break;
    }
  }
  return out.Take();
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

QStringList ContextFileLines(const ContextFile& file) {
  QStringList lines;
  lines.reserve(file.entries.size() + 3);
  lines << kFormatTag;
  if (file.current) lines << RecordLine(kCurrentLetter, *file.current);
  if (file.previous) lines << RecordLine(kPreviousLetter, *file.previous);
  lines += file.entries;
  return lines;
}

ContextFile ParseContextFile(const QStringList& lines) {
  ContextFile file;
  if (lines.isEmpty() || (lines.first() != kFormatTag && lines.first() != kFormatTag1)) return file;
  const bool records = lines.first() == kFormatTag;
  for (qsizetype i = 1; i < lines.size(); ++i) {
    const QString& line = lines[i];
    if (records && line.startsWith(kCurrentLetter + QLatin1Char('\t'))) {
      if (!file.current) file.current = ParseRecord(line.split(QLatin1Char('\t')));
    } else if (records && line.startsWith(kPreviousLetter + QLatin1Char('\t'))) {
      if (!file.previous) file.previous = ParseRecord(line.split(QLatin1Char('\t')));
    } else {
      file.entries << line;
    }
  }
  return file;
}

int LoadJobContextEntries(const QStringList& entries, RunData& run) {
  int taken = 0;
  for (const QString& line : entries) {
    const QStringList parts = line.split(QLatin1Char('\t'));
    if (parts.size() != 3) continue;
    const QString key = Unescape(parts[1]);
    const QString value = Unescape(parts[2]);
    if (parts[0] == kRegionLetter) {
      run.RegionNames.Append(key, value);
    } else if (parts[0] == kOrgRegionLetter) {
      run.OrgRegions.Append(key, value);
    } else if (parts[0] == kCardLetter) {
      run.OrgCards.Append(key, value);
    } else {
      continue;
    }
    ++taken;
  }
  return taken;
}

QStringList JobContextLines(const RunData& run, const QStringList& tasks) {
  ContextFile file;
  file.entries = JobContextEntries(run, tasks);
  return ContextFileLines(file);
}

int LoadJobContextLines(const QStringList& lines, RunData& run) {
  return LoadJobContextEntries(ParseContextFile(lines).entries, run);
}
