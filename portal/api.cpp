#include "portal/api.h"

#include <algorithm>

#include "text/clean.h"

namespace {

const QString kOrgRoot = QStringLiteral("ppa/api/rest/services/ppa/public/organizations/");
const QString kOrgGuidParameter = QStringLiteral("organizationGuid=");
const QString kHouseRoot = QStringLiteral("homemanagement/api/rest/services/houses/public/");

// The organisation filter in the nine pieces the portal has always been sent; byte-exact,
// since the portal's search is picky about it.
const char kOrgFilter1[] =
    "{\"organizationRoleList\":["
    "{\"code\":\"19\",\"guid\":\"708b663b-8cb8-4114-84bc-e6b909c7f714\"},"
    "{\"code\":\"20\",\"guid\":\"b9468598-0535-4d76-a462-32082dce86b7\"},"
    "{\"code\":\"21\",\"guid\":\"d7625e16-19fd-4dea-a3e3-3999a195e1c9\"},"
    "{\"code\":\"22\",\"guid\":\"5c408b08-0a95-4ea2-8d78-55af6e6a5ac5\"},"
    "{\"code\":\"1\",\"guid\":\"52f5e0a4-7f4c-4fb1-9423-160e9178ddda\"}],"
    "\"factualAddress\":{\"area\":null,\"city\":null,\"region\":{\"guid\":\"";
const char kOrgFilter3[] = "\",";
const char kOrgFilter4[] = "\"code\":\"";
const char kOrgFilter6[] = "\"},\"settlement\":null,\"street\":null,";
const char kOrgFilter7[] =
    "\"planningStructureElement\":null,\"house\":null,\"houseNumber\":null,\"buildingNumber\":null,";
const char kOrgFilter8[] =
    "\"structNumber\":null},\"organizationStatuses\":{\"coll\":[\"REGISTERED\"],\"operand\":\"OR\"},";
const char kOrgFilter9[] =
    "\"okopfList\":[],\"roleStatuses\":[\"APPROVED\"],\"onlyHeadOrganization\":true}";

// Region codes and GUIDs come from a hand-editable file: a quote or backslash in one must not
// break the JSON. Ordinary values (hex, digits, hyphens) pass through unchanged.
QByteArray JsonStringContent(const QString& value) {
  const QByteArray utf8 = value.toUtf8();
  QByteArray out;
  out.reserve(utf8.size());
  for (const char c : utf8) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

bool IsPlainToken(QStringView value) {
  if (value.isEmpty() || value.size() > kMaxTokenLength) return false;
  for (const QChar c : value) {
    const char16_t u = c.unicode();
    const bool plain = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'-';
    if (!plain) return false;
  }
  return true;
}

bool IsPlainRegionKey(const QString& key) {
  const qsizetype at = key.indexOf(kRegionKeyMarker);
  if (at < 0) return IsPlainToken(key);
  const QStringView code = QStringView(key).left(at);
  return (code.isEmpty() || IsPlainToken(code)) &&
         IsPlainToken(QStringView(key).mid(at + kRegionKeyMarker.size()));
}

bool IsSafeTaskLine(const QString& task) {
  if (task.isEmpty()) return false;
  for (const QChar c : task)
    if (IsControlCharacter(c.unicode())) return false;
  return true;
}

QString PrintableValue(QStringView value, qsizetype maxLength) {
  QString out;
  out.reserve(std::min(value.size(), maxLength) + 8);
  qsizetype shown = 0;
  for (const QChar c : value) {
    if (shown >= maxLength) {
      out += QStringLiteral("...");
      break;
    }
    const char16_t u = c.unicode();
    if (IsControlCharacter(u))
      out += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
    else
      out += c;
    ++shown;
  }
  return out;
}

QString RegionCountAddress(const QString& base) {
  return base + kOrgRoot + QStringLiteral("searchByOrg/count");
}

QString AdditionalInfoAddress(const QString& base) {
  return base + kOrgRoot + QStringLiteral("additionalinfo");
}

QString RegionKey(const QString& code, const QString& guid) {
  return code + kRegionKeyMarker + guid;
}

QString OrganisationLink(const QString& base, const QString& orgGuid) {
  return base + QStringLiteral("#!/organizationView/") + orgGuid;
}

QString SearchPageTask(const QString& base, int page, const QString& regionCode,
                       const QString& regionGuid) {
  if (!IsPlainRegionKey(RegionKey(regionCode, regionGuid))) return {};
  return base + kOrgRoot + QStringLiteral("searchByOrg?pageIndex=") + QString::number(page) +
         QStringLiteral("&elementsPerPage=") + QString::number(kSearchPageSize) +
         kTaskValueMarker + RegionKey(regionCode, regionGuid);
}

QString OrgCardTask(const QString& base, const QString& orgGuid) {
  if (!IsPlainToken(orgGuid)) return {};
  return base + kOrgRoot + QStringLiteral("orgByGuid?") + kOrgGuidParameter + orgGuid;
}

QString HouseCountTask(const QString& base, const QString& orgGuid) {
  if (!IsPlainToken(orgGuid)) return {};
  return base + kHouseRoot + QStringLiteral("searchByOrg?pageIndex=1&elementsPerPage=1") +
         kTaskValueMarker + orgGuid;
}

QString HousePageTask(const QString& base, int page, const QString& orgGuid) {
  if (!IsPlainToken(orgGuid)) return {};
  return base + kHouseRoot + QStringLiteral("searchByOrg?pageIndex=") + QString::number(page) +
         QStringLiteral("&elementsPerPage=") + QString::number(kHousePageSize) +
         kTaskValueMarker + orgGuid;
}

Code TaskKind(const QString& task) {
  if (!task.contains(QLatin1String("://"))) return RegionCount;
  // Later matches override earlier ones, so the order of the tests matters.
  Code kind = RegionCount;
  if (task.contains(QLatin1String("public/organizations/searchByOrg?"))) kind = SearchPage;
  if (task.contains(QLatin1String("/orgByGuid?"))) kind = OrgCard;
  const bool houses = task.contains(QLatin1String("houses/public/searchByOrg?"));
  const bool onePerPage = task.contains(QLatin1String("elementsPerPage=1|||"));
  if (houses && onePerPage) kind = HouseCount;
  if (houses && !onePerPage) kind = HousePage;
  return kind;
}

namespace {

QString AfterMarker(const QString& text, const QString& marker) {
  const qsizetype at = text.indexOf(marker);
  return at < 0 ? QString() : text.mid(at + marker.size());
}

}  // namespace

TaskParts ParseTask(const QString& task, Code kind) {
  TaskParts parts;
  parts.text = task;
  parts.kind = kind;
  const auto splitKey = [&parts](const QString& key) {
    const qsizetype at = key.indexOf(kRegionKeyMarker);
    if (at < 0) {
      parts.regionGuid = key;  // a key without "$$$" is all GUID
      return;
    }
    parts.regionCode = key.left(at);
    parts.regionGuid = key.mid(at + kRegionKeyMarker.size());
  };
  if (kind == RegionCount) {
    parts.address = task;
    parts.value = task;
    splitKey(task);
    return parts;
  }
  const qsizetype at = task.indexOf(kTaskValueMarker);
  parts.hasValue = at >= 0;
  parts.address = parts.hasValue ? task.left(at) : task;
  if (parts.hasValue) parts.value = task.mid(at + kTaskValueMarker.size());
  switch (kind) {
    case SearchPage:
      if (parts.hasValue) splitKey(parts.value);
      break;
    case OrgCard:
      parts.orgGuid = CardTaskOrgGuid(task);
      break;
    default:  // HouseCount, HousePage
      parts.orgGuid = parts.value;
      break;
  }
  return parts;
}

QString CardTaskOrgGuid(const QString& task) { return AfterMarker(task, kOrgGuidParameter); }

QString TaskRefusal(const TaskParts& task, const QString& baseUrl) {
  if (!IsSafeTaskLine(task.text)) return QStringLiteral("task refused: it is empty or holds a control character");
  const QString notPlain = QStringLiteral(
      "task refused: %1 is not a plain value (ASCII letters, digits and \"-\", at most 64)");
  const QString outside =
      QStringLiteral("task refused: its address does not begin with the portal's base address %1");
  const QString region = QStringLiteral("the region code or GUID");
  const QString org = QStringLiteral("the organisation GUID");
  switch (task.kind) {
    case RegionCount:
      return IsPlainRegionKey(task.value) ? QString() : notPlain.arg(region);
    case OrgCard:
      if (!task.text.startsWith(baseUrl)) return outside.arg(baseUrl);
      return IsPlainToken(task.orgGuid) ? QString() : notPlain.arg(org);
    case SearchPage:
    case HouseCount:
    case HousePage:
      if (!task.hasValue) return {};
      if (!task.address.startsWith(baseUrl)) return outside.arg(baseUrl);
      if (task.kind == SearchPage) return IsPlainRegionKey(task.value) ? QString() : notPlain.arg(region);
      return IsPlainToken(task.value) ? QString() : notPlain.arg(org);
  }
  return {};
}

QByteArray OrganisationFilter(const QString& regionGuid, const QString& regionCode) {
  QByteArray body;
  body.reserve(900);
  body += kOrgFilter1;
  body += JsonStringContent(regionGuid);
  body += kOrgFilter3;
  body += kOrgFilter4;
  body += JsonStringContent(regionCode);
  body += kOrgFilter6;
  body += kOrgFilter7;
  body += kOrgFilter8;
  body += kOrgFilter9;
  return body;
}

QByteArray HouseFilter(const QString& orgGuid) {
  return QByteArray("{\"organizationGuid\":\"") + JsonStringContent(orgGuid) +
         QByteArray("\",\"calcCount\":true}");
}

QByteArray AdditionalInfoBody(const QString& orgGuid) {
  return QByteArray("{\"organizationGuids\":[\"") + JsonStringContent(orgGuid) + QByteArray("\"]}");
}
