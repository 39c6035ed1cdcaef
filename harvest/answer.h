#pragma once
// One small reader for the portal's JSON answers, shared by every handler. The reading rules
// are lenient on purpose: a missing member, a member of a non-object or a value of an
// unexpected kind never raises anything, it just reads as empty, 0 or "no array".

#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class JsonAnswer;

// A view of one value inside a parsed answer, or of a member that is not there. Cheap to
// copy; valid as long as the JsonAnswer it came from.
class JsonValue {
 public:
  JsonValue() = default;  // a missing member

  // The member exists (JSON null included).
  bool Present() const { return present_; }
  bool IsNull() const;
  bool IsArray() const;
  bool IsObject() const;

  // A member of an object; missing when this is not an object or has no such member.
  JsonValue Member(const char* name) const;

  // Missing -> empty; null -> "null"; string -> its value; number or boolean -> its JSON
  // literal; object or array -> compact JSON text.
  QString Text() const;

  // Integer -> as is (every digit kept); real -> rounded to the nearest whole number; true 1,
  // false 0; a string holding a whole number -> that number; anything else 0. Values beyond
  // the 64-bit range are clamped to it.
  int64_t Integer() const;
  // A number the way a count must be given: a JSON number (a real rounded) or a string
  // holding a whole number, clamped to the 64-bit range. Nothing for any other value
  // (missing, null, boolean, object, array, other text).
  std::optional<int64_t> Count() const;

  // Array access; Size() is 0 and At() is missing for anything but an array.
  size_t Size() const;
  JsonValue At(size_t index) const;  // walks from the start: use Items() to visit them all
  std::vector<JsonValue> Items() const;  // every element in order; empty for a non-array

 private:
  friend class JsonAnswer;
  // Copies a parser element (given by address) into a new present value.
  static JsonValue Make(const void* element);
  // Room for the parser's own element handle (a document pointer and a tape index), so
  // that the parser's types stay out of this header.
  alignas(8) unsigned char element_[16] = {};
  bool present_ = false;
};

// The most values an answer may hold: fifty times a real house page of 1000 houses. The
// parser needs up to about 16 bytes for each value, so an answer of nothing but tiny values
// ("[1,1,1,...]") would otherwise cost some thirty times its size.
inline constexpr qsizetype kMaxJsonValues = 3000000;

// A parsed answer. An answer that does not parse as JSON has no root (Ok() is false and
// Root() is missing); neither has one with more than kMaxJsonValues values.
class JsonAnswer {
 public:
  // Bytes as the portal sent them; malformed UTF-8 in them reads as U+FFFD.
  explicit JsonAnswer(const QByteArray& utf8);
  ~JsonAnswer();
  JsonAnswer(const JsonAnswer&) = delete;
  JsonAnswer& operator=(const JsonAnswer&) = delete;

  bool Ok() const { return ok_; }
  // The answer was not parsed because it holds more than kMaxJsonValues values.
  bool TooManyValues() const { return tooManyValues_; }
  JsonValue Root() const;

 private:
  // `padded` holds the text and at least the parser's padding after it, so the parser reads
  // it in place instead of copying it.
  void Parse(const QByteArray& padded, size_t size);

  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool ok_ = false;
  bool tooManyValues_ = false;
};

// The usual signed text-to-integer reading, lenient only about blanks and line breaks around
// the number: optional sign, then decimal digits, nothing else. Anything else, and a number
// outside the 64-bit range, gives no value (ok false, result 0).
int64_t ParseWholeNumber(const QString& text, bool* ok);
