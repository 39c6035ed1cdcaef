#pragma once
// The portal's six requests and their answers, without any networking: the server hands in
// the method, the request target and the body, and sends back what comes out.

#include <optional>
#include <string>
#include <string_view>

#include "tools/portal-sim/dataset.h"

namespace simdata {

enum class RequestKind { Count, Search, Card, Additional, HouseCount, HousePage, Unknown };

// "count", "search", "card", "additional", "housecount", "housepage", "unknown".
const char* KindName(RequestKind kind);
// Parses the names above (and "any" → Unknown, with *any set). False for anything else.
bool KindFromName(std::string_view name, RequestKind* kind, bool* any);

// Which of the six requests this is, from the method and the target path (a house search
// asking for one element per page is the house count).
RequestKind ClassifyRequest(std::string_view method, std::string_view target);

struct Answer {
  int status = 200;
  std::string reason = "OK";
  std::string contentType = "application/json;charset=UTF-8";
  std::string body;
  std::string extraHeaders;  // further header lines, each ending in CR LF
};

// A plain-text answer whose body is its reason phrase: the given one, or the usual one of the
// status when none is given.
Answer PlainAnswer(int status, std::optional<std::string> reason = std::nullopt);

// The portal's answer to one request. Unknown requests: 404; bad parameters or bodies: 400.
Answer AnswerRequest(const Dataset& data, std::string_view method, std::string_view target,
                     std::string_view body);

// The usual reason phrase of a status ("Service Unavailable"), "Error" for unusual ones.
const char* ReasonPhrase(int status);

// Value of a query parameter of a target ("...?pageIndex=2&elementsPerPage=100"), percent-decoded;
// false when absent.
bool QueryValue(std::string_view target, std::string_view name, std::string* value);
// The first string value of member `name` inside `json`, scanning from the member's position
// (for "organizationGuids":["g"] the first array element). False when absent.
bool ScanString(std::string_view json, std::string_view name, std::string* value,
                std::size_t from = 0, std::size_t until = std::string_view::npos);

}  // namespace simdata
