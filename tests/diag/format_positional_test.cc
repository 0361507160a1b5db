#include "diag/format_positional.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace Voro {
namespace {

TEST(FormatPositionalTest, NumberedPlaceholdersPickTheirArgument) {
  EXPECT_EQ(FormatPositional("%2 and %1", "a", "b"), "b and a");
  EXPECT_EQ(FormatPositional("%1%1%2", "x", 7), "xx7");
  EXPECT_EQ(FormatPositional("Caught (%1) %2", -5, std::string("boom")), "Caught (-5) boom");
  // Only the digits belong to the number; what follows is text.
  EXPECT_EQ(FormatPositional("%1d", 5), "5d");
  EXPECT_EQ(FormatPositional("no placeholders"), "no placeholders");
  EXPECT_EQ(FormatPositional(""), "");
}

TEST(FormatPositionalTest, MultiDigitNumbers) {
  EXPECT_EQ(FormatPositional("%10-%12-%1", 1, 2, 3, 4, 5, 6, 7, 8, 9, "ten", 11, "twelve"),
            "ten-twelve-1");
}

TEST(FormatPositionalTest, DoubledPercentIsOnePercent) {
  EXPECT_EQ(FormatPositional("100%% sure"), "100% sure");
  EXPECT_EQ(FormatPositional("%%%1%%", 5), "%5%");
  EXPECT_EQ(FormatPositional("%%1", "a"), "%1");
}

TEST(FormatPositionalTest, MissingSequentialArgumentEndsTheOutput) {
  EXPECT_EQ(FormatPositional("%s, %s, %s!", "a", "b"), "a, b, ");
  EXPECT_EQ(FormatPositional("%s %d", "a"), "a ");
  EXPECT_EQ(FormatPositional("before %d after"), "before ");
}

TEST(FormatPositionalTest, NumberBeyondTheArgumentsIsAWidth) {
  // "%5s" with one argument: 5 is not an argument, so it is the width of a "%s".
  EXPECT_EQ(FormatPositional("[%5s]", "ab"), "[   ab]");
  EXPECT_EQ(FormatPositional("[%1][%3d]", 7), "[7][  7]");
  // "%3" at the very end: a directive without its conversion ends the output.
  EXPECT_EQ(FormatPositional("x=%1 y=%2 z=%3", "a", "b"), "x=a y=b z=");
}

TEST(FormatPositionalTest, NumberedUsesDoNotMoveTheSequentialCounter) {
  EXPECT_EQ(FormatPositional("%2 %s %s", "a", "b"), "b a b");
  EXPECT_EQ(FormatPositional("%2$s %s %1$s %s", "a", "b"), "b a a b");
  // A numbered "*" does not move it either ...
  EXPECT_EQ(FormatPositional("%1$*2$d|%s", 7, 3), "  7|7");
  // ... but an unnumbered "*" takes the next argument in order, even inside "%N$".
  EXPECT_EQ(FormatPositional("%2$*s|%s", 4, "x"), "   x|x");
  EXPECT_EQ(FormatPositional("%*d|%s", 5, 42, "c"), "   42|c");
}

TEST(FormatPositionalTest, PrintfSpecificationsAfterDollar) {
  EXPECT_EQ(FormatPositional("%1$5d", 42), "   42");
  EXPECT_EQ(FormatPositional("%2$-4s|", 1, "ab"), "ab  |");
  EXPECT_EQ(FormatPositional("%1$.*2$f", 3.14159, 2), "3.14");
  EXPECT_EQ(FormatPositional("%1$+d %1$ d %1$05d", 42), "+42  42 00042");
  EXPECT_EQ(FormatPositional("%1$05d", -42), "-0042");
  EXPECT_EQ(FormatPositional("%1$#x %1$#o %1$X", 255), "0xff 0377 FF");
  EXPECT_EQ(FormatPositional("%1$.3s|%1$-6.2s|", "abcdef"), "abc|ab    |");
  EXPECT_EQ(FormatPositional("%1$08.3f|%1$-8.1e|", -2.5), "-002.500|-2.5e+00|");
  EXPECT_EQ(FormatPositional("%1$c%2$c", 'O', 75), "OK");
  EXPECT_EQ(FormatPositional("%1$3c|", 'z'), "  z|");
}

TEST(FormatPositionalTest, LengthModifiersFollowTheArgumentsType) {
  // The modifier is read but the value is the argument's own.
  EXPECT_EQ(FormatPositional("%1$hhd %1$hd %1$lld %1$zd %1$jd", 300), "300 300 300 300 300");
  EXPECT_EQ(FormatPositional("%1$d", std::numeric_limits<uint64_t>::max()), "18446744073709551615");
  EXPECT_EQ(FormatPositional("%1$Lf", 1.5), "1.500000");
  // A negative number under "u o x X" shows the two's complement of its own width.
  EXPECT_EQ(FormatPositional("%1$x", int32_t{-1}), "ffffffff");
  EXPECT_EQ(FormatPositional("%1$x", int8_t{-1}), "ff");
  EXPECT_EQ(FormatPositional("%1$u", int16_t{-2}), "65534");
  EXPECT_EQ(FormatPositional("%1$X", int64_t{-1}), "FFFFFFFFFFFFFFFF");
  EXPECT_EQ(FormatPositional("%1$d %1$u", uint8_t{200}), "200 200");
}

TEST(FormatPositionalTest, StarWidthAndPrecision) {
  EXPECT_EQ(FormatPositional("%*d|", -5, 42), "42   |");
  EXPECT_EQ(FormatPositional("%.*s|", 2, "abcdef"), "ab|");
  // A negative precision is no precision.
  EXPECT_EQ(FormatPositional("%.*s|", -1, "abcdef"), "abcdef|");
  // A "*" naming a missing argument ends the output.
  EXPECT_EQ(FormatPositional("a%1$*3$db", 1, 2), "a");
  // A non-integer "*" argument leaves the width unset.
  EXPECT_EQ(FormatPositional("%1$*2$d|", 5, "wide"), "5|");
}

TEST(FormatPositionalTest, DefaultForms) {
  EXPECT_EQ(FormatPositional("%1 %2 %3", -7, uint64_t{18446744073709551615u}, int8_t{-3}),
            "-7 18446744073709551615 -3");
  EXPECT_EQ(FormatPositional("%1%2", 'Q', '!'), "Q!");
  EXPECT_EQ(FormatPositional("%1 %2 %3 %4", 0.1, 2.0, 1e21, -0.5f), "0.1 2 1e+21 -0.5");
  int object = 0;
  char expected[64];
  std::snprintf(expected, sizeof expected, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&object)));
  EXPECT_EQ(FormatPositional("%1", &object), expected);
  EXPECT_EQ(FormatPositional("%1", nullptr), "0x0");
  EXPECT_EQ(FormatPositional("[%1]", static_cast<const char*>(nullptr)), "[(null)]");
  const std::string text = "owned";
  EXPECT_EQ(FormatPositional("%1/%2", text, std::string_view("viewed")), "owned/viewed");
}

TEST(FormatPositionalTest, ConversionThatDoesNotFitUsesTheDefaultForm) {
  EXPECT_EQ(FormatPositional("%1$d", "text"), "text");
  EXPECT_EQ(FormatPositional("%1$5d|", "ab"), "   ab|");
  EXPECT_EQ(FormatPositional("%1$s|%1$-4s|%1$.1s", 42), "42|42  |4");
  EXPECT_EQ(FormatPositional("%1$d", 2.5), "2.5");
  EXPECT_EQ(FormatPositional("%1$e", 5), "5.000000e+00");
  EXPECT_EQ(FormatPositional("%1$d", 'A'), "65");
  EXPECT_EQ(FormatPositional("%1$f", nullptr), "0x0");
  EXPECT_EQ(FormatPositional("%1$6p|", nullptr), "   0x0|");
}

TEST(FormatPositionalTest, MalformedSpecificationEndsTheOutput) {
  EXPECT_EQ(FormatPositional("a%1$qb", 1), "a");
  EXPECT_EQ(FormatPositional("a%1$nb", 1), "a");  // never writes through an argument
  EXPECT_EQ(FormatPositional("a%1$", 1), "a");
  EXPECT_EQ(FormatPositional("abc%", 1), "abc");
  EXPECT_EQ(FormatPositional("a%1$hlb", 1), "a");
  EXPECT_EQ(FormatPositional("a%1$*5d", 1, 2), "a");  // "*5" without "$"
}

TEST(FormatPositionalTest, SpecificationLimitIs59Characters) {
  // The directive counts from "%" to the conversion, without "N$".
  const std::string fits = "%" + std::string(56, '-') + "5d";
  ASSERT_EQ(fits.size(), kMaxFormatSpecLength);
  const std::string too_long = "%" + std::string(57, '-') + "5d";
  EXPECT_EQ(FormatPositional("x%1$" + fits.substr(1) + "y", 42), "x42   y");
  EXPECT_EQ(FormatPositional("x%1$" + too_long.substr(1) + "y", 42), "x");
  EXPECT_EQ(FormatPositional("x" + fits + "y", 42), "x42   y");
  EXPECT_EQ(FormatPositional("x" + too_long + "y", 42), "x");
}

TEST(FormatPositionalTest, OutputStopsAtTheBufferEnd) {
  char buffer[8];
  EXPECT_EQ(FormatPositionalInto(buffer, sizeof buffer, "%1 and more", "abcdef"), 7u);
  EXPECT_STREQ(buffer, "abcdef ");
  EXPECT_EQ(FormatPositionalInto(buffer, sizeof buffer, "%1$10d", 5), 7u);
  EXPECT_STREQ(buffer, "       ");
  EXPECT_EQ(FormatPositionalInto(buffer, 1, "abc"), 0u);
  EXPECT_STREQ(buffer, "");

  char untouched[2] = {'#', '#'};
  EXPECT_EQ(FormatPositionalInto(untouched, 0, "abc"), 0u);
  EXPECT_EQ(untouched[0], '#');

  const std::string long_text(5000, 'x');
  EXPECT_EQ(FormatPositional(long_text), std::string(kFormatBufferSize - 1, 'x'));
  EXPECT_EQ(FormatPositional("%1", long_text).size(), kFormatBufferSize - 1);
  EXPECT_EQ(FormatPositional("%1$-99999999999999999999s|", "a"),
            "a" + std::string(kFormatBufferSize - 2, ' '));
}

// Numbers must look exactly as the C library prints them, even when a huge width or
// precision is cut to the buffer: compare with a wide snprintf cut to 4095 characters.
template <typename V>
std::string PrintfReference(const std::string& format, V value,
                            size_t limit = kFormatBufferSize - 1) {
  std::vector<char> wide(1 << 16);
  const int n = std::snprintf(wide.data(), wide.size(), format.c_str(), value);
  EXPECT_GE(n, 0);
  return std::string(wide.data(), std::min<size_t>(static_cast<size_t>(n), limit));
}

TEST(FormatPositionalTest, NumbersMatchTheCLibraryIncludingCutWidths) {
  for (const char* conv : {"d", "5d", "-5d", "+05d", " d", ".8d", "6000d", "-6000d", "+06000d",
                           ".6000d", "06000.3d"}) {
    for (long long value : {0LL, 42LL, -42LL, 9223372036854775807LL}) {
      SCOPED_TRACE(std::string(conv) + " " + std::to_string(value));
      const std::string conv_text = conv;
      const std::string ll = conv_text.substr(0, conv_text.size() - 1) + "ll" + conv_text.back();
      EXPECT_EQ(FormatPositional("%1$" + conv_text, value), PrintfReference("%" + ll, value));
    }
  }
  for (const char* conv : {"f", ".0f", "#.0f", "+.3e", "g", "#g", "a", "12.4G", "-20.10f",
                           "05000.2f", ".5000f", ".5000e", "-5000f", ".3000f"}) {
    for (double value : {0.0, -0.0, 1.0, 0.1, -2.5, 1e300, 5e-324, 0.9999999999999999}) {
      SCOPED_TRACE(std::string(conv) + " " + std::to_string(value));
      EXPECT_EQ(FormatPositional("%1$" + std::string(conv), value),
                PrintfReference("%" + std::string(conv), value));
    }
  }
}

TEST(FormatPositionalTest, SmallBuffersCutLikeTheCLibrary) {
  for (size_t size : {2u, 5u, 16u, 100u}) {
    std::vector<char> buffer(size);
    for (const char* conv : {".2000f", "2000.1f", "-2000.1f", ".2000e", "+0300.1f"}) {
      for (double value : {0.1, -123.456, 0.9999999999999999}) {
        SCOPED_TRACE(std::string(conv) + " size " + std::to_string(size));
        const size_t n =
            FormatPositionalInto(buffer.data(), size, "%1$" + std::string(conv), value);
        EXPECT_EQ(std::string(buffer.data(), n),
                  PrintfReference("%" + std::string(conv), value, size - 1));
      }
    }
  }
}

TEST(FormatPositionalTest, ZeroPaddingKeepsTheSignWhenCut) {
  const std::string out = FormatPositional("%1$+09000d", 7);
  ASSERT_EQ(out.size(), kFormatBufferSize - 1);
  EXPECT_EQ(out[0], '+');
  EXPECT_EQ(out.find_first_not_of('0', 1), std::string::npos);
}

}  // namespace
}  // namespace Voro
