// The settings file reader: names, defaults, empty values, quotes, numbers, and files that
// are not settings files at all.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "settings/ini_file.h"

namespace vkt {
namespace {

TIniFile Parsed(std::string_view text) {
  TIniFile ini;
  ini.Parse(text);
  return ini;
}

struct TextCase {
  const char* name;
  const char* file;
  const char* expected;  // ReadString("S", "k", "dflt")
};

// ctest lists each case by its name and the value it expects.
void PrintTo(const TextCase& c, std::ostream* os) {
  *os << c.name << " -> \"" << c.expected << '"';
}

class IniText : public testing::TestWithParam<TextCase> {};

TEST_P(IniText, ReadsValue) {
  EXPECT_EQ(Parsed(GetParam().file).ReadString("S", "k", "dflt"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IniText,
    testing::Values(
        TextCase{"Plain", "[S]\nk=abc\n", "abc"},
        TextCase{"NamesIgnoreCase", "[s]\nK=abc\n", "abc"},
        TextCase{"AbsentKeyDefault", "[S]\nother=1\n", "dflt"},
        TextCase{"AbsentSectionDefault", "[T]\nk=abc\n", "dflt"},
        TextCase{"KeyOfOtherSectionNotTaken", "[T]\nk=abc\n[S]\nj=1\n", "dflt"},
        TextCase{"EmptyValueIsEmpty", "[S]\nk=\n", ""},
        TextCase{"BlanksStripped", "[S]\n  k \t=  a b  \t\n", "a b"},
        TextCase{"DoubleQuotesStripped", "[S]\nk=\" a b \"\n", " a b "},
        TextCase{"SingleQuotesStripped", "[S]\nk='x'\n", "x"},
        TextCase{"UnmatchedQuotesKept", "[S]\nk=\"x'\n", "\"x'"},
        TextCase{"LoneQuoteKept", "[S]\nk=\"\n", "\""},
        TextCase{"FirstEqualsSplits", "[S]\nk=a=b\n", "a=b"},
        TextCase{"FirstOccurrenceWins", "[S]\nk=1\nk=2\n", "1"},
        TextCase{"SectionHeadBlanks", "  [ S ]  \nk=v\n", "v"},
        TextCase{"CrLfLines", "[S]\r\nk=v\r\n", "v"},
        TextCase{"CrOnlyLines", "[S]\rk=v\r", "v"},
        TextCase{"NoFinalLineEnd", "[S]\nk=v", "v"},
        TextCase{"ByteOrderMark", "\xEF\xBB\xBF[S]\nk=v\n", "v"},
        TextCase{"CommentLineIgnored", "[S]\n;k=commented\nk=v\n", "v"},
        TextCase{"LineWithoutEqualsIgnored", "[S]\nk\nk=v\n", "v"},
        TextCase{"KeyBeforeAnySectionIgnored", "k=early\n[S]\nj=1\n", "dflt"},
        TextCase{"BrokenHeadIsALineOfItsSection", "[S]\nj=1\n[T\nk=v\n", "v"},
        TextCase{"LaterSectionOfSameNameUnread", "[S]\nj=1\n[T]\n[s]\nk=v\n", "dflt"},
        TextCase{"EndOfFileCharacterIsBlank", "[S]\nk=v\x1a\n", "v"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IniText, NulInsideValueCutsIt) {
  const std::string text("[S]\nk=ab\0cd\n", 12);
  EXPECT_EQ(Parsed(text).ReadString("S", "k", "d"), "ab");
}

TEST(IniText, LongValueCutAt2047) {
  const std::string value(3000, 'x');
  const std::string got = Parsed("[S]\nk=" + value + "\n").ReadString("S", "k", "");
  EXPECT_EQ(got.size(), TIniFile::kMaxValueLength);
}

struct IntCase {
  const char* name;
  const char* value;
  std::int32_t expected;  // default is 77
};

void PrintTo(const IntCase& c, std::ostream* os) {
  *os << c.name << " \"" << c.value << "\" -> " << c.expected;
}

class IniInteger : public testing::TestWithParam<IntCase> {};

TEST_P(IniInteger, ReadsNumber) {
  const std::string file = std::string("[S]\nk=") + GetParam().value + "\n";
  EXPECT_EQ(Parsed(file).ReadInteger("S", "k", 77), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IniInteger,
    testing::Values(IntCase{"Decimal", "9600", 9600}, IntCase{"Negative", "-1", -1},
                    IntCase{"Plus", "+5", 5}, IntCase{"HexLower", "0x2580", 9600},
                    IntCase{"HexUpper", "0X2a", 42}, IntCase{"HexAllOnes", "0xFFFFFFFF", -1},
                    IntCase{"Quoted", "\"19200\"", 19200}, IntCase{"Blanked", "  12  ", 12},
                    IntCase{"Empty", "", 77}, IntCase{"Word", "true", 77},
                    IntCase{"TrailingJunk", "12abc", 77}, IntCase{"InnerBlank", "1 2", 77},
                    IntCase{"Fraction", "1.5", 77}, IntCase{"BareHexPrefix", "0x", 77},
                    IntCase{"BadHexDigit", "0x12G", 77}, IntCase{"HexTooLong", "0x100000000", 77},
                    IntCase{"Int32Max", "2147483647", 2147483647},
                    IntCase{"Int32Min", "-2147483648", INT32_MIN},
                    IntCase{"Overflow", "2147483648", 77},
                    IntCase{"HugeOverflow", "99999999999999999999999", 77},
                    IntCase{"SignOnly", "-", 77}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IniBool, NumbersAndWords) {
  const TIniFile ini = Parsed("[S]\na=0\nb=1\nc=5\nd=true\ne=-1\nf=\n");
  EXPECT_FALSE(ini.ReadBool("S", "a", true));
  EXPECT_TRUE(ini.ReadBool("S", "b", false));
  EXPECT_TRUE(ini.ReadBool("S", "c", false));
  EXPECT_FALSE(ini.ReadBool("S", "d", false));  // not a number: the default
  EXPECT_TRUE(ini.ReadBool("S", "e", false));
  EXPECT_TRUE(ini.ReadBool("S", "f", true));
  EXPECT_TRUE(ini.ReadBool("S", "absent", true));
}

TEST(IniSection, HasKeysOnlyWithAKey) {
  EXPECT_TRUE(Parsed("[Port]\nk=1\n").SectionHasKeys("PORT"));
  EXPECT_FALSE(Parsed("[Port]\n; k=1\n").SectionHasKeys("Port"));
  EXPECT_FALSE(Parsed("[Port]\n[Other]\nk=1\n").SectionHasKeys("Port"));
  EXPECT_FALSE(Parsed("").SectionHasKeys("Port"));
}

TEST(IniRobustness, JunkAndHugeFilesDoNotBreakTheReader) {
  std::string junk;
  for (int i = 0; i < 200000; ++i) junk += static_cast<char>((i * 7919) & 0xFF);
  EXPECT_EQ(Parsed(junk).ReadString("S", "k", "d"), "d");

  const std::string oneLine = "[S] k=1 " + std::string(1 << 20, 'a');  // no line end at all
  EXPECT_FALSE(Parsed(oneLine).SectionHasKeys("S"));

  std::string many = "[S]\n";
  for (int i = 0; i < 100000; ++i) many += "key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  const TIniFile ini = Parsed(many);
  EXPECT_EQ(ini.ReadInteger("S", "KEY99999", -1), 99999);
  EXPECT_EQ(ini.ReadInteger("S", "key0", -1), 0);
}

}  // namespace
}  // namespace vkt
