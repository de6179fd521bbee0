#include "Sdk/NimoUtils.h"

#include <type_traits>

namespace NimoSdk {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

void AppendUtf8(std::string& out, char32_t c) {
  if (c > 0x10FFFF || IsSurrogate(c)) c = kReplacement;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Decodes UTF-16 units (surrogate pairs joined, lone halves replaced) up to the first NUL.
template <class Unit>
std::string FromUtf16(const Unit* p, std::size_t n) {
  std::string out;
  out.reserve(n);
  // Leading ASCII, the usual text of a game, is copied unit for byte.
  std::size_t i = 0;
  while (i < n && static_cast<std::uint16_t>(p[i]) - 1u < 0x7Fu) ++i;
  out.assign(p, p + i);
  for (; i < n; ++i) {
    char32_t c = static_cast<char32_t>(static_cast<std::uint16_t>(p[i]));
    if (c == 0) break;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n) {
      char32_t low = static_cast<char32_t>(static_cast<std::uint16_t>(p[i + 1]));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    AppendUtf8(out, c);
  }
  return out;
}

template <class Unit>
std::string FromUtf32(const Unit* p, std::size_t n) {
  std::string out;
  out.reserve(n);
  std::size_t i = 0;
  while (i < n && static_cast<std::uint32_t>(p[i]) - 1u < 0x7Fu) ++i;
  out.assign(p, p + i);
  for (; i < n; ++i) {
    char32_t c = static_cast<char32_t>(p[i]);
    if (c == 0) break;
    AppendUtf8(out, c);
  }
  return out;
}

// Decodes UTF-8 into code points up to the first NUL; every maximal invalid
// subsequence becomes one U+FFFD.
template <class Emit>
void DecodeUtf8(const std::string& s, Emit emit) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t n = s.size(), i = 0;
  while (i < n) {
    unsigned char b = p[i];
    if (b == 0) return;
    if (b < 0x80) {
      emit(static_cast<char32_t>(b));
      ++i;
      continue;
    }
    int len = 0;
    char32_t c = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2, c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3, c = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;  // overlong
      if (b == 0xED) hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4, c = b & 0x07;
      if (b == 0xF0) lo = 0x90;  // overlong
      if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      emit(kReplacement);
      ++i;
      continue;
    }
    std::size_t j = 1;
    for (; j < static_cast<std::size_t>(len); ++j) {
      if (i + j >= n) break;
      unsigned char cb = p[i + j];
      if (cb < (j == 1 ? lo : 0x80) || cb > (j == 1 ? hi : 0xBF)) break;
      c = (c << 6) | (cb & 0x3F);
    }
    if (j == static_cast<std::size_t>(len)) {
      emit(c);
      i += j;
    } else {
      emit(kReplacement);
      i += j;
    }
  }
}

}  // namespace

std::string NimoUtils::Utf16ToUtf8(const std::u16string& text) { return FromUtf16(text.data(), text.size()); }
std::string NimoUtils::CleanUtf8(const std::string& text) { return Utf32ToUtf8(Utf8ToUtf32(text)); }

std::string NimoUtils::Utf32ToUtf8(const std::u32string& text) { return FromUtf32(text.data(), text.size()); }

std::u16string NimoUtils::Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  DecodeUtf8(text, [&](char32_t c) {
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  });
  return out;
}

std::u32string NimoUtils::Utf8ToUtf32(const std::string& text) {
  std::u32string out;
  DecodeUtf8(text, [&](char32_t c) { out.push_back(c); });
  return out;
}

std::string NimoUtils::WideToUtf8(const std::wstring& text) {
  if constexpr (sizeof(wchar_t) == 2) {
    return FromUtf16(text.data(), text.size());
  } else {
    return FromUtf32(text.data(), text.size());
  }
}

std::wstring NimoUtils::Utf8ToWide(const std::string& text) {
  std::wstring out;
  if constexpr (sizeof(wchar_t) == 2) {
    for (char16_t u : Utf8ToUtf16(text)) out.push_back(static_cast<wchar_t>(u));
  } else {
    DecodeUtf8(text, [&](char32_t c) { out.push_back(static_cast<wchar_t>(c)); });
  }
  return out;
}

}  // namespace NimoSdk
