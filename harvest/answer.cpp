#include "harvest/answer.h"

#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

static_assert(sizeof(element) <= 16, "JsonValue's storage is too small for a DOM element");
static_assert(alignof(element) <= 8, "JsonValue's storage is not aligned enough");
static_assert(std::is_trivially_copyable_v<element>, "a DOM element must copy as bytes");
static_assert(std::is_trivially_destructible_v<element>, "a DOM element must need no cleanup");

QString FromUtf8(std::string_view s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

int64_t ClampToInt64(double d) {
  // Compare against 2^63 as a double: INT64_MAX itself does not exist as a double.
  constexpr double kLimit = 9223372036854775808.0;
  if (std::isnan(d)) return 0;
  if (d >= kLimit) return std::numeric_limits<int64_t>::max();
  if (d < -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);
}

// Optional sign and decimal digits, blanks around them allowed. False for anything else;
// a number past the 64-bit range is still read, clamped, with *overflow set.
bool ReadWholeNumber(const QString& text, int64_t* value, bool* overflow) {
  *value = 0;
  *overflow = false;
  const QString t = text.trimmed();
  qsizetype i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) {
    negative = t[i] == u'-';
    ++i;
  }
  if (i >= t.size()) return false;
  // Accumulate as a negative number so that INT64_MIN stays reachable.
  int64_t v = 0;
  for (; i < t.size(); ++i) {
    const char16_t c = t[i].unicode();
    if (c < u'0' || c > u'9') return false;
    const int digit = c - u'0';
    if (*overflow) continue;
    if (v < (std::numeric_limits<int64_t>::min() + digit) / 10) {
      *overflow = true;
      continue;
    }
    v = v * 10 - digit;
  }
  if (!negative && v == std::numeric_limits<int64_t>::min()) *overflow = true;
  if (*overflow) {
    *value = negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  } else {
    *value = negative ? v : -v;
  }
  return true;
}

}  // namespace

int64_t ParseWholeNumber(const QString& text, bool* ok) {
  int64_t value = 0;
  bool overflow = false;
  *ok = ReadWholeNumber(text, &value, &overflow) && !overflow;
  return *ok ? value : 0;
}

// ---- JsonValue ----

namespace {

// The element is stored as bytes; copying it out keeps clear of aliasing questions.
element El(const unsigned char* storage) {
  element e;
  std::memcpy(static_cast<void*>(&e), storage, sizeof(element));
  return e;
}

}  // namespace

JsonValue JsonValue::Make(const void* e) {
  JsonValue v;
  std::memcpy(v.element_, e, sizeof(element));
  v.present_ = true;
  return v;
}

bool JsonValue::IsNull() const { return present_ && El(element_).is_null(); }
bool JsonValue::IsArray() const { return present_ && El(element_).is_array(); }
bool JsonValue::IsObject() const { return present_ && El(element_).is_object(); }

JsonValue JsonValue::Member(const char* name) const {
  if (!IsObject()) return {};
  element child;
  if (El(element_).get_object().at_key(name).get(child) != simdjson::SUCCESS) return {};
  return Make(&child);
}

QString JsonValue::Text() const {
  if (!present_) return {};
  const element e = El(element_);
  switch (e.type()) {
    case element_type::NULL_VALUE:
      return QStringLiteral("null");
    case element_type::STRING:
      return FromUtf8(std::string_view(e.get_string().value_unsafe()));
    case element_type::INT64:
      return QString::number(e.get_int64().value_unsafe());
    case element_type::UINT64:
      return QString::number(e.get_uint64().value_unsafe());
    case element_type::BOOL:
      return e.get_bool().value_unsafe() ? QStringLiteral("true") : QStringLiteral("false");
    case element_type::DOUBLE:
    case element_type::ARRAY:
    case element_type::OBJECT:
      // The parser keeps no source text; its compact rendering is the closest to what was
      // sent (integers above are exact; a real may lose trailing zeros, 12.50 -> 12.5).
      return QString::fromStdString(simdjson::minify(e));
  }
  return {};
}

int64_t JsonValue::Integer() const {
  if (!present_) return 0;
  const element e = El(element_);
  switch (e.type()) {
    case element_type::INT64:
      return e.get_int64().value_unsafe();
    case element_type::UINT64: {
      const uint64_t u = e.get_uint64().value_unsafe();
      return u > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                               : int64_t(u);
    }
    case element_type::DOUBLE:
      return ClampToInt64(std::round(e.get_double().value_unsafe()));
    case element_type::BOOL:
      return e.get_bool().value_unsafe() ? 1 : 0;
    case element_type::STRING: {
      // Clamped like a number past the range (such numbers may reach us as strings, below).
      int64_t v = 0;
      bool overflow = false;
      return ReadWholeNumber(Text(), &v, &overflow) ? v : 0;
    }
    default:
      return 0;
  }
}

std::optional<int64_t> JsonValue::Count() const {
  if (!present_) return std::nullopt;
  const element e = El(element_);
  switch (e.type()) {
    case element_type::INT64:
    case element_type::UINT64:
    case element_type::DOUBLE:
      return Integer();
    case element_type::STRING: {
      int64_t v = 0;
      bool overflow = false;
      if (!ReadWholeNumber(Text(), &v, &overflow)) return std::nullopt;
      return v;
    }
    default:
      return std::nullopt;
  }
}

size_t JsonValue::Size() const {
  if (!IsArray()) return 0;
  return El(element_).get_array().value_unsafe().size();
}

JsonValue JsonValue::At(size_t index) const {
  if (!IsArray()) return {};
  element child;
  if (El(element_).get_array().at(index).get(child) != simdjson::SUCCESS) return {};
  return Make(&child);
}

std::vector<JsonValue> JsonValue::Items() const {
  std::vector<JsonValue> items;
  if (!IsArray()) return items;
  const simdjson::dom::array array = El(element_).get_array().value_unsafe();
  items.reserve(array.size());
  for (const element child : array) items.push_back(Make(&child));
  return items;
}

// ---- JsonAnswer ----

namespace {

// A number literal as JSON spells it: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool IsJsonNumber(std::string_view t) {
  size_t i = 0;
  const auto digits = [&] {
    const size_t from = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i > from;
  };
  if (i < t.size() && t[i] == '-') ++i;
  if (i < t.size() && t[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < t.size() && t[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == t.size();
}

// Whether the parser can store the number: an integer within the 64-bit ranges, a real
// within the double range.
bool Storable(std::string_view t) {
  const char* first = t.data();
  const char* last = t.data() + t.size();
  std::from_chars_result r;
  if (t.find_first_of(".eE") == std::string_view::npos) {
    if (t.front() == '-') {
      int64_t v = 0;
      r = std::from_chars(first, last, v);
    } else {
      uint64_t v = 0;
      r = std::from_chars(first, last, v);
    }
  } else {
    double v = 0;
    r = std::from_chars(first, last, v);
  }
  return r.ec == std::errc() && r.ptr == last;
}

// The answer with every well-formed number that the parser cannot store put in double
// quotes; empty when there is none (the answer is then malformed for another reason).
std::string QuoteUnstorableNumbers(std::string_view json) {
  std::string out;
  out.reserve(json.size() + 16);
  bool changed = false;
  size_t i = 0;
  while (i < json.size()) {
    const char c = json[i];
    if (c == '"') {  // a string, through its closing quote
      size_t j = i + 1;
      while (j < json.size() && json[j] != '"') j += json[j] == '\\' ? 2 : 1;
      j = std::min(j + 1, json.size());
      out.append(json.substr(i, j - i));
      i = j;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      size_t j = i + 1;
      while (j < json.size() &&
             std::string_view("0123456789+-.eE").find(json[j]) != std::string_view::npos)
        ++j;
      const std::string_view token = json.substr(i, j - i);
      if (IsJsonNumber(token) && !Storable(token)) {
        out += '"';
        out.append(token);
        out += '"';
        changed = true;
      } else {
        out.append(token);
      }
      i = j;
    } else {
      out += c;
      ++i;
    }
  }
  return changed ? out : std::string();
}

}  // namespace

struct JsonAnswer::Impl {
  simdjson::dom::parser parser;
  element root;
};

namespace {

// The text with the parser's padding after it, in one buffer: the parser then needs no copy
// of its own, which matters for answers of tens of megabytes.
QByteArray Padded(QByteArray utf8) {
  const qsizetype size = utf8.size();
  utf8.reserve(size + qsizetype(simdjson::SIMDJSON_PADDING));
  utf8.append(QByteArray(qsizetype(simdjson::SIMDJSON_PADDING), '\0'));
  utf8.truncate(size);  // the bytes after the end stay allocated and zero
  return utf8;
}

}  // namespace

JsonAnswer::JsonAnswer(const QByteArray& utf8) : impl_(std::make_unique<Impl>()) {
  // The parser refuses a whole answer for one malformed UTF-8 byte, and the portal sends the
  // same bytes at every attempt and every resume: each bad byte becomes U+FFFD instead, as a
  // UTF-8 decoder makes it, and the rest of the answer is read.
  const bool valid = simdjson::validate_utf8(utf8.constData(), size_t(utf8.size()));
  const QByteArray padded = Padded(valid ? utf8 : QString::fromUtf8(utf8).toUtf8());
  Parse(padded, size_t(padded.size()));
}

JsonAnswer::~JsonAnswer() = default;

namespace {

// Whether the text holds more values than kMaxJsonValues, judged by the commas, colons and
// opening brackets outside strings (every value but the first needs one of them).
bool HasTooManyValues(const char* text, size_t size) {
  qsizetype marks = 0;
  bool inString = false;
  for (size_t i = 0; i < size; ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == ',' || c == ':' || c == '[' || c == '{') {
      if (++marks > kMaxJsonValues) return true;
    }
  }
  return false;
}

}  // namespace

void JsonAnswer::Parse(const QByteArray& padded, size_t size) {
  // An empty text is not JSON; the parser would say so too, but without allocating.
  if (size == 0) return;
  if (HasTooManyValues(padded.constData(), size)) {
    tooManyValues_ = true;
    return;
  }
  const bool inPlace = size_t(padded.capacity()) >= size + simdjson::SIMDJSON_PADDING;
  simdjson::error_code error = impl_->parser.parse(padded.constData(), size, !inPlace).get(impl_->root);
  if (error == simdjson::NUMBER_ERROR) {
    // The parser refuses a whole answer for one number it cannot store. Such numbers are
    // read as strings of their literal instead: their text keeps every digit and the rest
    // of the answer is not lost.
    const std::string quoted = QuoteUnstorableNumbers(std::string_view(padded.constData(), size));
    if (!quoted.empty())
      error = impl_->parser.parse(quoted.data(), quoted.size(), true).get(impl_->root);
  }
  ok_ = error == simdjson::SUCCESS;
}

JsonValue JsonAnswer::Root() const {
  if (!ok_) return {};
  return JsonValue::Make(&impl_->root);
}
