#include "tools/portal-sim/answers.h"

#include <cctype>

namespace simdata {
namespace {

constexpr std::string_view kOrgRoot = "/ppa/api/rest/services/ppa/public/organizations/";
constexpr std::string_view kHouseRoot = "/homemanagement/api/rest/services/houses/public/";

std::string_view PathOf(std::string_view target) {
  auto q = target.find('?');
  return q == std::string_view::npos ? target : target.substr(0, q);
}

Answer Json(std::string body) {
  Answer a;
  a.body = std::move(body);
  return a;
}

// A positive page number or size of at most nine digits.
bool PageNumber(std::string_view target, std::string_view name, std::int64_t* out) {
  std::string v;
  if (!QueryValue(target, name, &v) || v.empty() || v.size() > 9) return false;
  std::int64_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n < 1) return false;
  *out = n;
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Answer PlainAnswer(int status, std::optional<std::string> reason) {
  Answer a;
  a.status = status;
  a.reason = reason ? std::move(*reason) : ReasonPhrase(status);
  a.contentType = "text/plain;charset=UTF-8";
  a.body = a.reason;
  return a;
}

const char* KindName(RequestKind kind) {
  switch (kind) {
    case RequestKind::Count: return "count";
    case RequestKind::Search: return "search";
    case RequestKind::Card: return "card";
    case RequestKind::Additional: return "additional";
    case RequestKind::HouseCount: return "housecount";
    case RequestKind::HousePage: return "housepage";
    case RequestKind::Unknown: break;
  }
  return "unknown";
}

bool KindFromName(std::string_view name, RequestKind* kind, bool* any) {
  *any = false;
  if (name == "any") {
    *any = true;
    *kind = RequestKind::Unknown;
    return true;
  }
  for (auto k : {RequestKind::Count, RequestKind::Search, RequestKind::Card, RequestKind::Additional,
                 RequestKind::HouseCount, RequestKind::HousePage, RequestKind::Unknown}) {
    if (name == KindName(k)) {
      *kind = k;
      return true;
    }
  }
  return false;
}

RequestKind ClassifyRequest(std::string_view method, std::string_view target) {
  const std::string_view path = PathOf(target);
  if (path.substr(0, kOrgRoot.size()) == kOrgRoot) {
    const std::string_view rest = path.substr(kOrgRoot.size());
    if (method == "POST" && rest == "searchByOrg/count") return RequestKind::Count;
    if (method == "POST" && rest == "searchByOrg") return RequestKind::Search;
    if (method == "GET" && rest == "orgByGuid") return RequestKind::Card;
    if (method == "POST" && rest == "additionalinfo") return RequestKind::Additional;
  } else if (path.substr(0, kHouseRoot.size()) == kHouseRoot) {
    if (method == "POST" && path.substr(kHouseRoot.size()) == "searchByOrg") {
      std::string per;
      if (QueryValue(target, "elementsPerPage", &per) && per == "1") return RequestKind::HouseCount;
      return RequestKind::HousePage;
    }
  }
  return RequestKind::Unknown;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
  }
}

bool QueryValue(std::string_view target, std::string_view name, std::string* value) {
  auto q = target.find('?');
  if (q == std::string_view::npos) return false;
  std::string_view query = target.substr(q + 1);
  while (!query.empty()) {
    auto amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    auto eq = pair.find('=');
    if (pair.substr(0, eq) == name) {
      std::string_view raw = eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
      value->clear();
      for (std::size_t i = 0; i < raw.size(); ++i) {
        int h1, h2;
        if (raw[i] == '%' && i + 2 < raw.size() && (h1 = HexValue(raw[i + 1])) >= 0 &&
            (h2 = HexValue(raw[i + 2])) >= 0) {
          *value += static_cast<char>(h1 * 16 + h2);
          i += 2;
        } else {
          *value += raw[i];
        }
      }
      return true;
    }
    if (amp == std::string_view::npos) break;
    query = query.substr(amp + 1);
  }
  return false;
}

bool ScanString(std::string_view json, std::string_view name, std::string* value, std::size_t from,
                std::size_t until) {
  if (until > json.size()) until = json.size();
  std::string key(1, '"');
  key.append(name).push_back('"');
  auto p = json.find(key, from);
  if (p == std::string_view::npos || p >= until) return false;
  p += key.size();
  auto skip = [&](void) {
    while (p < until && std::isspace(static_cast<unsigned char>(json[p]))) ++p;
  };
  skip();
  if (p >= until || json[p] != ':') return false;
  ++p;
  skip();
  if (p < until && json[p] == '[') {
    ++p;
    skip();
  }
  if (p >= until || json[p] != '"') return false;
  ++p;
  value->clear();
  while (p < until && json[p] != '"') {
    if (json[p] == '\\' && p + 1 < until) ++p;
    *value += json[p++];
  }
  return p < until;
}

Answer AnswerRequest(const Dataset& data, std::string_view method, std::string_view target,
                     std::string_view body) {
  const RequestKind kind = ClassifyRequest(method, target);
  switch (kind) {
    case RequestKind::Count:
    case RequestKind::Search: {
      auto r = body.find("\"region\"");
      if (r == std::string_view::npos) return PlainAnswer(400);
      auto end = body.find('}', r);
      std::string guid, code;
      bool hasGuid = ScanString(body, "guid", &guid, r, end);
      bool hasCode = ScanString(body, "code", &code, r, end);
      if (!hasGuid && !hasCode) return PlainAnswer(400);
      const int region = data.FindRegion(guid, code);
      if (kind == RequestKind::Count) {
        Answer a;
        a.contentType = "text/plain;charset=UTF-8";
        a.body = region < 0 ? "0" : data.CountText(region);
        return a;
      }
      std::int64_t page = 0, per = 0;
      if (!PageNumber(target, "pageIndex", &page) || !PageNumber(target, "elementsPerPage", &per))
        return PlainAnswer(400);
      if (region < 0) return Json("{\"total\":0,\"organizationSummaryWithNsiList\":[]}");
      return Json(data.SearchPageJson(region, page, per));
    }
    case RequestKind::Card: {
      std::string guid;
      if (!QueryValue(target, "organizationGuid", &guid)) return PlainAnswer(400);
      const int org = data.FindOrg(guid);
      if (org < 0) return PlainAnswer(404);
      return Json(data.CardJson(org));
    }
    case RequestKind::Additional: {
      std::string guid;
      if (!ScanString(body, "organizationGuids", &guid)) return PlainAnswer(400);
      const int org = data.FindOrg(guid);
      if (org < 0) return Json("{\"additionalInfos\":[]}");
      return Json(data.AdditionalInfoJson(org));
    }
    case RequestKind::HouseCount:
    case RequestKind::HousePage: {
      std::string guid;
      std::int64_t page = 0, per = 0;
      if (!ScanString(body, "organizationGuid", &guid)) return PlainAnswer(400);
      if (!PageNumber(target, "pageIndex", &page) || !PageNumber(target, "elementsPerPage", &per))
        return PlainAnswer(400);
      const int org = data.FindOrg(guid);
      if (org < 0) return Json("{\"total\":0,\"items\":[]}");
      return Json(data.HousePageJson(org, page, per));
    }
    case RequestKind::Unknown: break;
  }
  return PlainAnswer(404);
}

}  // namespace simdata
