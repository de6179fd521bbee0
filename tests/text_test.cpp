#include <gtest/gtest.h>

#include "Sdk/NimoUtils.h"

using NimoSdk::NimoUtils;

namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

TEST(TextConversion, RoundTripsEveryPlaneAndStopsAtNul) {
  std::string text = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z";  // a é 中 😀 z
  std::wstring wide = NimoUtils::Utf8ToWide(text);
  EXPECT_EQ(wide.size(), sizeof(wchar_t) == 4 ? 5u : 6u);
  EXPECT_EQ(NimoUtils::WideToUtf8(wide), text);
  EXPECT_EQ(NimoUtils::Utf32ToUtf8(NimoUtils::Utf8ToUtf32(text)), text);
  EXPECT_EQ(NimoUtils::Utf8ToUtf16(text), u"a\u00e9\u4e2d\U0001F600z");
  EXPECT_EQ(NimoUtils::Utf16ToUtf8(NimoUtils::Utf8ToUtf16(text)), text);
  EXPECT_EQ(NimoUtils::WideToUtf8(L""), "");
  EXPECT_EQ(NimoUtils::Utf8ToWide(""), L"");
  EXPECT_EQ(NimoUtils::WideToUtf8(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(NimoUtils::Utf8ToWide(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(NimoUtils::Utf16ToUtf8(std::u16string(u"x\0y", 3)), "x");
}

TEST(TextConversion, BadUtf8Utf16AndUtf32BecomeReplacements) {
  const std::pair<std::u16string, std::string> utf16[] = {
      {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
      {{0xD83D}, kFFFD},                       // lone high at the end
      {{0xD83D, u'a'}, kFFFD + "a"},           // high, then not low
      {{0xDE00, 0xD83D}, kFFFD + kFFFD},       // reversed pair
      {{u'a', 0xDC00, u'b'}, "a" + kFFFD + "b"},
  };
  for (const auto& [in, out] : utf16) EXPECT_EQ(NimoUtils::Utf16ToUtf8(in), out) << in.size();
  const std::pair<std::u32string, std::string> utf32[] = {
      {{0x110000}, kFFFD},
      {{0xD800, U'x'}, kFFFD + "x"},
      {{0xFFFFFFFF}, kFFFD},
      {{0x10FFFF}, "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& [in, out] : utf32) EXPECT_EQ(NimoUtils::Utf32ToUtf8(in), out) << static_cast<unsigned>(in[0]);
  if (sizeof(wchar_t) == 4) {
    std::wstring w{static_cast<wchar_t>(-1), L'k'};
    EXPECT_EQ(NimoUtils::WideToUtf8(w), kFFFD + "k");
  }
  const std::pair<std::string, std::u32string> utf8[] = {
      {"\x80", U"\uFFFD"},                                // stray continuation
      {"\xC0\xAF", U"\uFFFD\uFFFD"},                      // overlong two-byte
      {"\xE0\x80\xAF", U"\uFFFD\uFFFD\uFFFD"},            // overlong three-byte
      {"\xF0\x80\x80\xAF", U"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\xED\xA0\x80", U"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE4\xB8", U"\uFFFD"},                            // truncated at the end
      {"\xE4\xB8x", U"\uFFFDx"},                          // truncated before ASCII
      {"\xFF\xFEok", U"\uFFFD\uFFFDok"},
  };
  for (const auto& [in, out] : utf8) {
    EXPECT_EQ(NimoUtils::Utf8ToUtf32(in), out) << "input bytes " << in.size();
    EXPECT_EQ(NimoUtils::Utf16ToUtf8(NimoUtils::Utf8ToUtf16(in)), NimoUtils::Utf32ToUtf8(out));
  }
}

}  // namespace
