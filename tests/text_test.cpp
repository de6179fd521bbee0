#include <gtest/gtest.h>

#include "Sdk/NimoUtils.h"

using NimoSdk::NimoUtils;

namespace {
const std::string kFFFD = "\xEF\xBF\xBD";
}

TEST(TextConversion, RoundTripsEveryPlaneThroughWide) {
  std::string text = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z";  // a é 中 😀 z
  std::wstring wide = NimoUtils::Utf8ToWide(text);
  EXPECT_EQ(wide.size(), sizeof(wchar_t) == 4 ? 5u : 6u);
  EXPECT_EQ(NimoUtils::WideToUtf8(wide), text);
  EXPECT_EQ(NimoUtils::Utf16ToUtf8(NimoUtils::Utf8ToUtf16(text)), text);
  EXPECT_EQ(NimoUtils::Utf32ToUtf8(NimoUtils::Utf8ToUtf32(text)), text);
  EXPECT_EQ(NimoUtils::Utf8ToUtf16(text), u"a\u00e9\u4e2d\U0001F600z");
}

TEST(TextConversion, EmptyAndEmbeddedNul) {
  EXPECT_EQ(NimoUtils::WideToUtf8(L""), "");
  EXPECT_EQ(NimoUtils::Utf8ToWide(""), L"");
  EXPECT_EQ(NimoUtils::WideToUtf8(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(NimoUtils::Utf8ToWide(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(NimoUtils::Utf16ToUtf8(std::u16string(u"x\0y", 3)), "x");
}

TEST(TextConversion, Utf16SurrogatesPairedOrReplaced) {
  EXPECT_EQ(NimoUtils::Utf16ToUtf8(std::u16string{0xD83D, 0xDE00}), "\xF0\x9F\x98\x80");
  EXPECT_EQ(NimoUtils::Utf16ToUtf8(std::u16string{0xD83D}), kFFFD);                    // lone high at end
  EXPECT_EQ(NimoUtils::Utf16ToUtf8(std::u16string{0xD83D, u'a'}), kFFFD + "a");        // high then not low
  EXPECT_EQ(NimoUtils::Utf16ToUtf8(std::u16string{0xDE00, 0xD83D}), kFFFD + kFFFD);    // reversed pair
  EXPECT_EQ(NimoUtils::Utf16ToUtf8(std::u16string{u'a', 0xDC00, u'b'}), "a" + kFFFD + "b");
}

TEST(TextConversion, Utf32InvalidValuesReplaced) {
  EXPECT_EQ(NimoUtils::Utf32ToUtf8(std::u32string{0x110000}), kFFFD);
  EXPECT_EQ(NimoUtils::Utf32ToUtf8(std::u32string{0xD800, U'x'}), kFFFD + "x");
  EXPECT_EQ(NimoUtils::Utf32ToUtf8(std::u32string{0xFFFFFFFF}), kFFFD);
  EXPECT_EQ(NimoUtils::Utf32ToUtf8(std::u32string{0x10FFFF}), "\xF4\x8F\xBF\xBF");
  if (sizeof(wchar_t) == 4) {
    std::wstring w{static_cast<wchar_t>(-1), L'k'};
    EXPECT_EQ(NimoUtils::WideToUtf8(w), kFFFD + "k");
  }
}

TEST(TextConversion, BadUtf8BecomesReplacement) {
  struct Case {
    std::string in;
    std::u32string out;
  };
  const Case cases[] = {
      {"\x80", U"\uFFFD"},                            // stray continuation
      {"\xC0\xAF", U"\uFFFD\uFFFD"},                  // overlong two-byte
      {"\xE0\x80\xAF", U"\uFFFD\uFFFD\uFFFD"},        // overlong three-byte
      {"\xF0\x80\x80\xAF", U"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\xED\xA0\x80", U"\uFFFD\uFFFD\uFFFD"},        // encoded surrogate
      {"\xF4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE4\xB8", U"\uFFFD"},                        // truncated at the end
      {"\xE4\xB8x", U"\uFFFDx"},                      // truncated before ASCII
      {"\xFF\xFEok", U"\uFFFD\uFFFDok"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NimoUtils::Utf8ToUtf32(c.in), c.out) << "input bytes " << c.in.size();
    EXPECT_EQ(NimoUtils::Utf16ToUtf8(NimoUtils::Utf8ToUtf16(c.in)), NimoUtils::Utf32ToUtf8(c.out));
  }
}

TEST(TextConversion, ArbitraryBytesNeverCrash) {
  std::string all;
  for (int i = 1; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (std::size_t cut = 0; cut < all.size(); cut += 7) {
    std::string s = all.substr(cut) + all.substr(0, cut);
    std::wstring w = NimoUtils::Utf8ToWide(s);
    std::string back = NimoUtils::WideToUtf8(w);
    EXPECT_EQ(NimoUtils::Utf8ToWide(back), w);  // valid after one pass
  }
}
