#include "harvest/answer.h"

#include <simdjson.h>

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

}  // namespace

int64_t ParseWholeNumber(const QString& text, bool* ok) {
  *ok = false;
  const QString t = text.trimmed();
  qsizetype i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) {
    negative = t[i] == u'-';
    ++i;
  }
  if (i >= t.size()) return 0;
  // Accumulate as a negative number so that INT64_MIN stays reachable.
  int64_t value = 0;
  for (; i < t.size(); ++i) {
    const char16_t c = t[i].unicode();
    if (c < u'0' || c > u'9') return 0;
    const int digit = c - u'0';
    if (value < (std::numeric_limits<int64_t>::min() + digit) / 10) return 0;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == std::numeric_limits<int64_t>::min()) return 0;
    value = -value;
  }
  *ok = true;
  return value;
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
      bool ok = false;
      const int64_t v = ParseWholeNumber(Text(), &ok);
      return ok ? v : 0;
    }
    default:
      return 0;
  }
}

int32_t JsonValue::Integer32() const {
  const int64_t v = Integer();
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return int32_t(v);
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

struct JsonAnswer::Impl {
  simdjson::dom::parser parser;
  element root;
};

JsonAnswer::JsonAnswer(const QString& text) : impl_(std::make_unique<Impl>()) {
  Parse(text.toUtf8());
}

JsonAnswer::JsonAnswer(const QByteArray& utf8) : impl_(std::make_unique<Impl>()) { Parse(utf8); }

JsonAnswer::~JsonAnswer() = default;

void JsonAnswer::Parse(const QByteArray& utf8) {
  // An empty text is not JSON; the parser would say so too, but without allocating.
  if (utf8.isEmpty()) return;
  // realloc_if_needed: the parser copies into a padded buffer, the QByteArray is not padded.
  ok_ = impl_->parser.parse(utf8.constData(), size_t(utf8.size()), true).get(impl_->root) ==
        simdjson::SUCCESS;
}

JsonValue JsonAnswer::Root() const {
  if (!ok_) return {};
  return JsonValue::Make(&impl_->root);
}
