#include "idl/legacy/snake_case.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

namespace brisquel::idl::legacy {
namespace {

enum class Mode : unsigned char { Boundary, Lower, Upper };

// Splits one word into segments at underscores and case changes and hands
// each segment to `emit`. `Chars` tells lower and upper case apart.
template <class Char, class Chars, class Emit>
void split_word(std::span<const Char> word, const Chars& chars, Emit&& emit) {
  std::size_t start = 0;
  Mode mode = Mode::Boundary;
  for (std::size_t i = 0; i < word.size(); ++i) {
    const Char c = word[i];
    if (c == '_') {
      if (start == i) start = i + 1;
      continue;
    }
    if (i + 1 == word.size()) {
      emit(word.subspan(start));
      break;
    }
    const Char n = word[i + 1];
    const Mode next = chars.lower(c) ? Mode::Lower : chars.upper(c) ? Mode::Upper : mode;
    if (n == '_' || (next == Mode::Lower && chars.upper(n))) {
      emit(word.subspan(start, i + 1 - start));
      start = i + 1;
      mode = Mode::Boundary;
    } else if (mode == Mode::Upper && chars.upper(c) && chars.lower(n)) {
      emit(word.subspan(start, i - start));
      start = i;
      mode = Mode::Boundary;
    } else {
      mode = next;
    }
  }
}

// ---- ASCII ----

struct AsciiChars {
  static bool lower(char c) { return c >= 'a' && c <= 'z'; }
  static bool upper(char c) { return c >= 'A' && c <= 'Z'; }
};

enum class Wb : unsigned char { Other, Letter, Digit, Under, MidLetter, MidNum, MidNumLet };

// Word-break classes of the ASCII characters. Everything not listed (space,
// '-', most punctuation) breaks on both sides and never holds a letter or a
// digit, so it never survives into a word.
constexpr Wb ascii_class(char c) {
  if (AsciiChars::lower(c) || AsciiChars::upper(c)) return Wb::Letter;
  if (c >= '0' && c <= '9') return Wb::Digit;
  switch (c) {
    case '_': return Wb::Under;
    case ':': return Wb::MidLetter;
    case ',': case ';': return Wb::MidNum;
    case '.': case '\'': return Wb::MidNumLet;
    default: return Wb::Other;
  }
}

// Whether a middle character between `before` and `after` keeps them in one word.
constexpr bool joins_across(Wb before, Wb mid, Wb after) {
  if (before == Wb::Letter && after == Wb::Letter) return mid == Wb::MidLetter || mid == Wb::MidNumLet;
  if (before == Wb::Digit && after == Wb::Digit) return mid == Wb::MidNum || mid == Wb::MidNumLet;
  return false;
}

constexpr bool is_wordy(Wb w) { return w == Wb::Letter || w == Wb::Digit || w == Wb::Under; }

void append_lower_ascii(std::string& out, std::span<const char> segment) {
  for (char c : segment) out.push_back(AsciiChars::upper(c) ? static_cast<char>(c - 'A' + 'a') : c);
}

std::string to_snake_case_ascii(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 4);
  bool first = true;
  auto emit = [&](std::span<const char> segment) {
    if (!first) out.push_back('_');
    append_lower_ascii(out, segment);
    first = false;
  };

  std::size_t i = 0;
  while (i < text.size()) {
    if (!is_wordy(ascii_class(text[i]))) {
      ++i;
      continue;
    }
    // A word: letters, digits and '_' run together; a middle character
    // stays inside when it stands between two letters or two digits.
    std::size_t end = i + 1;
    bool alnum = ascii_class(text[i]) != Wb::Under;
    while (end < text.size()) {
      const Wb here = ascii_class(text[end]);
      if (is_wordy(here)) {
        alnum = alnum || here != Wb::Under;
        ++end;
      } else if (end + 1 < text.size() &&
                 joins_across(ascii_class(text[end - 1]), here, ascii_class(text[end + 1]))) {
        end += 2;
        alnum = true;
      } else {
        break;
      }
    }
    if (alnum) split_word(std::span<const char>(text.data() + i, end - i), AsciiChars{}, emit);
    i = end;
  }
  return out;
}

// ---- Unicode ----

struct UnicodeChars {
  static bool lower(UChar32 c) { return u_hasBinaryProperty(c, UCHAR_LOWERCASE); }
  static bool upper(UChar32 c) { return u_hasBinaryProperty(c, UCHAR_UPPERCASE); }
};

bool is_alphanumeric(UChar32 c) {
  return u_hasBinaryProperty(c, UCHAR_ALPHABETIC) ||
         u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

void append_utf8(std::string& out, UChar32 c) {
  char buf[U8_MAX_LENGTH];
  std::int32_t n = 0;
  U8_APPEND_UNSAFE(buf, n, c);
  out.append(buf, static_cast<std::size_t>(n));
}

// Full lowercase mapping, character by character, except that a capital sigma
// ending the segment becomes the final sigma.
void append_lower_unicode(std::string& out, std::span<const UChar32> segment) {
  for (std::size_t i = 0; i < segment.size(); ++i) {
    const UChar32 c = segment[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(AsciiChars::upper(static_cast<char>(c)) ? c - 'A' + 'a' : c));
      continue;
    }
    if (c == 0x03A3 && i + 1 == segment.size()) {
      append_utf8(out, 0x03C2);
      continue;
    }
    UChar src[U16_MAX_LENGTH];
    std::int32_t src_len = 0;
    U16_APPEND_UNSAFE(src, src_len, c);
    UChar dst[8];  // full lowercase mappings are at most three code points
    UErrorCode status = U_ZERO_ERROR;
    const std::int32_t n = u_strToLower(dst, 8, src, src_len, "", &status);
    if (U_FAILURE(status)) {
      append_utf8(out, c);
      continue;
    }
    for (std::int32_t k = 0; k < n;) {
      UChar32 d;
      U16_NEXT(dst, k, n, d);
      append_utf8(out, d);
    }
  }
}

std::unique_ptr<icu::BreakIterator> word_iterator() {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !it) {
    // Only a missing ICU data library gets here; no name could be converted.
    std::fprintf(stderr, "brisquel: ICU word break iterator unavailable: %s\n", u_errorName(status));
    std::abort();
  }
  return it;
}

}  // namespace

namespace detail {

std::string to_snake_case_unicode(std::string_view utf8) {
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
  auto words = word_iterator();
  words->setText(text);

  std::string out;
  out.reserve(utf8.size() + 4);
  bool first = true;
  auto emit = [&](std::span<const UChar32> segment) {
    if (!first) out.push_back('_');
    append_lower_unicode(out, segment);
    first = false;
  };

  std::vector<UChar32> word;
  for (std::int32_t start = words->first(), end = words->next(); end != icu::BreakIterator::DONE;
       start = end, end = words->next()) {
    word.clear();
    bool alnum = false;
    for (std::int32_t i = start; i < end;) {
      const UChar32 c = text.char32At(i);
      alnum = alnum || is_alphanumeric(c);
      word.push_back(c);
      i += U16_LENGTH(c);
    }
    if (alnum) split_word(std::span<const UChar32>(word), UnicodeChars{}, emit);
  }
  return out;
}

}  // namespace detail

std::string to_snake_case(std::string_view utf8) {
  const bool ascii = std::ranges::all_of(utf8, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  return ascii ? to_snake_case_ascii(utf8) : detail::to_snake_case_unicode(utf8);
}

}  // namespace brisquel::idl::legacy
