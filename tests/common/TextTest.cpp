// The narrow form of wide names and the ASCII case-blind wide comparison.
#include "common/Text.h"

#include "support/Machine.h"

#include <gtest/gtest.h>
#include <ksim/Faults.h>

#include <cstring>
#include <string>

namespace {

using ktest::Fault;

struct NarrowCase {
  const wchar_t* pwszName;
  size_t cchBuffer;
  const char* pszExpected;
};
void PrintTo(const NarrowCase& c, std::ostream* os) { *os << "expect \"" << c.pszExpected << "\" in " << c.cchBuffer; }

class NarrowWideNameTest : public ::testing::TestWithParam<NarrowCase> {};

TEST_P(NarrowWideNameTest, ConvertsUpToTheFirstCharacterAboveFF) {
  const NarrowCase& c = GetParam();
  char szOut[65];
  std::memset(szOut, 'x', sizeof(szOut));
  size_t cch = NarrowWideName(c.pwszName, szOut, c.cchBuffer);
  EXPECT_EQ(std::string(c.pszExpected), std::string(szOut));
  EXPECT_EQ(strlen(c.pszExpected), cch);
  EXPECT_EQ('x', szOut[c.cchBuffer]) << "wrote past the buffer";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NarrowWideNameTest,
    ::testing::Values(NarrowCase{L"velk4", 64, "velk4"}, NarrowCase{L"", 64, ""}, NarrowCase{nullptr, 64, ""},
                      NarrowCase{L"caf\u00e9", 64, "caf\xe9"},             // U+00E9 becomes byte E9
                      NarrowCase{L"\u00ffend", 64, "\xff" "end"},          // U+00FF is the last kept
                      NarrowCase{L"ab\u0100cd", 64, "ab"},                 // U+0100 ends the text
                      NarrowCase{L"\u20acvelk4", 64, ""},                  // nothing before it
                      NarrowCase{L"velk4", 4, "vel"},                      // cut to the buffer
                      NarrowCase{L"velk4", 1, ""}));

TEST(NarrowWideNameLength, CountsWhatTheConversionWrites) {
  EXPECT_EQ(5u, NarrowWideNameLength(L"velk4"));
  EXPECT_EQ(2u, NarrowWideNameLength(L"ab\u0100cd"));
  EXPECT_EQ(0u, NarrowWideNameLength(L"\u0394"));
  EXPECT_EQ(0u, NarrowWideNameLength(nullptr));
}

TEST(NarrowWideName, RefusesAnEmptyBuffer) {
  char c = 'x';
  EXPECT_EQ(0u, NarrowWideName(L"abc", &c, 0));
  EXPECT_EQ('x', c);
  EXPECT_EQ(0u, NarrowWideName(L"abc", nullptr, 10));
}

struct EqualCase {
  const wchar_t* pwszA;
  const wchar_t* pwszB;
  bool bEqual;
};
void PrintTo(const EqualCase& c, std::ostream* os) { *os << (c.bEqual ? "equal" : "different"); }

class WideEqualNoCaseAsciiTest : public ::testing::TestWithParam<EqualCase> {};

TEST_P(WideEqualNoCaseAsciiTest, ComparesWholeStrings) {
  const EqualCase& c = GetParam();
  EXPECT_EQ(c.bEqual, WideEqualNoCaseAscii(c.pwszA, c.pwszB));
  EXPECT_EQ(c.bEqual, WideEqualNoCaseAscii(c.pwszB, c.pwszA));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WideEqualNoCaseAsciiTest,
    ::testing::Values(
        EqualCase{L"PCI\\VEN_ABCD&DEV_1234\\4&1A2B3C4D&0&00E0", L"pci\\ven_abcd&dev_1234\\4&1a2b3c4d&0&00e0", true},
        EqualCase{L"abc", L"abc", true}, EqualCase{L"", L"", true},
        EqualCase{L"abc", L"abcd", false},            // one more character
        EqualCase{L"abc", L"ab", false},              // one less
        EqualCase{L"\u00e9", L"\u00c9", false},       // only ASCII letters fold
        EqualCase{L"[", L"{", false},                 // 0x5B and 0x7B differ by 0x20 but are no letters
        EqualCase{L"@", L"`", false}, EqualCase{L"abc", nullptr, false}, EqualCase{nullptr, nullptr, false}));

struct AnsiCase {
  const char* pszA;
  const char* pszB;
  bool bEqual;
};

class AnsiEqualNoCaseTest : public ::testing::TestWithParam<AnsiCase> {};

TEST_P(AnsiEqualNoCaseTest, FoldsThroughTheSystemCaseTable) {
  const AnsiCase& c = GetParam();
  EXPECT_EQ(c.bEqual, AnsiEqualNoCase(c.pszA, c.pszB));
  EXPECT_EQ(c.bEqual, AnsiEqualNoCase(c.pszB, c.pszA));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AnsiEqualNoCaseTest,
    ::testing::Values(AnsiCase{"VELK4", "velk4", true}, AnsiCase{"", "", true},
                      AnsiCase{"velk", "velk4", false},              // a prefix is not the name
                      AnsiCase{"velk4", "velk", false},
                      AnsiCase{"\xc9t\xff", "\xe9T\x9f", true},     // letters beyond ASCII: É/é, ÿ/Ÿ
                      AnsiCase{"\x8a", "\x9a", true},                // Š/š, outside Latin-1
                      AnsiCase{"\xd7", "\xf7", false},               // × and ÷ are no letters
                      AnsiCase{"[", "{", false}, AnsiCase{"velk4", nullptr, false}));

TEST(AnsiEqualNoCase, AFailedCaseMappingEqualsNothing) {
  ksim::ScopedFault fault(Fault("LCMapStringW"));
  EXPECT_FALSE(AnsiEqualNoCase("velk4", "velk4"));
}

}  // namespace
