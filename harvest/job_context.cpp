#include "harvest/job_context.h"

#include <QSet>

#include "portal/api.h"

namespace {

const QString kFormatTag = QStringLiteral("#orgharvester-context 1");
const QString kRegionLetter = QStringLiteral("R");
const QString kOrgRegionLetter = QStringLiteral("O");
const QString kCardLetter = QStringLiteral("C");

QString Escape(const QString& value) {
  QString out;
  out.reserve(value.size());
  for (QChar c : value) {
    switch (c.unicode()) {
      case '\\': out += QStringLiteral("\\\\"); break;
      case '\t': out += QStringLiteral("\\t"); break;
      case '\r': out += QStringLiteral("\\r"); break;
      case '\n': out += QStringLiteral("\\n"); break;
      case '\0': out += QStringLiteral("\\0"); break;  // a NUL would end the file's text
      default: out += c;
    }
  }
  return out;
}

QString Unescape(const QString& value) {
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
  explicit Collector(const RunData& run) : run_(run) { lines_ << kFormatTag; }

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

QStringList JobContextLines(const RunData& run, const QStringList& tasks) {
  Collector out(run);
  for (const QString& task : tasks) {
    if (task.trimmed().isEmpty()) continue;
    switch (TaskKind(task)) {
      case RegionCount:
        out.Region(task);
        break;
      case SearchPage:
        out.Region(TaskValue(task));
        break;
      case OrgCard:
        out.OrgRegion(CardTaskOrgGuid(task));
        break;
      case HouseCount:
      case HousePage: {
        const QString guid = TaskValue(task);
        out.OrgRegion(guid);
        out.Card(guid);
        break;
      }
    }
  }
  return out.Take();
}

int LoadJobContextLines(const QStringList& lines, RunData& run) {
  if (lines.isEmpty() || lines.first() != kFormatTag) return 0;
  int taken = 0;
  for (qsizetype i = 1; i < lines.size(); ++i) {
    const QStringList parts = lines[i].split(QLatin1Char('\t'));
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
