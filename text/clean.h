#pragma once
// Entity decoding and the cleaners applied to values before they reach the result file.
// Plain functions without state: any thread may call them.

#include <QString>

// Decodes the named entities &amp; &lt; &gt; &laquo; &nbsp; &quot; &raquo; and numeric
// references (&#65; &#x41;) to the code point they name; a reference to 0, to a surrogate or
// past U+10FFFF gives U+FFFD. The pass ends at the first U+0000.
QString DecodeHtmlEntities(const QString& text);

// The control characters, for every cleaner and check of values: U+0000 to U+001F and U+007F.
constexpr bool IsControlCharacter(char16_t c) { return c < 0x20 || c == 0x7F; }

// LF and CR are removed; TAB and every other control character becomes a blank, so the
// result file and the workbook hold the same text.
QString CleanField(const QString& text);

// Every double quote becomes an apostrophe.
QString ReplaceQuotes(const QString& text);

// Decodes entities, applies the fixed replacements and removes tags: plain one-line text.
QString HtmlToText(const QString& text);
