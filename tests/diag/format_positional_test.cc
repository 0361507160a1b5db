#include "diag/format_positional.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace Voro {
namespace {

struct Row {
  std::string tmpl;
  std::string got;
  std::string want;
};

template <typename... Args>
Row R(const std::string& tmpl, const std::string& want, const Args&... args) {
  return {tmpl, FormatPositional(tmpl, args...), want};
}

TEST(FormatPositionalTest, TemplatesAndArgumentsGiveTheTablesText) {
  int object = 0;
  char pointer[64];
  std::snprintf(pointer, sizeof pointer, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&object)));
  const std::string owned = "owned";
  // A directive counts from "%" to the conversion, without "N$".
  const std::string fits = std::string(56, '-') + "5d";
  ASSERT_EQ(fits.size() + 1, kMaxFormatSpecLength);
  const std::string too_long = "-" + fits;
  const Row rows[] = {
      // Placeholders and the sequential counter.
      R("%2 and %1", "b and a", "a", "b"),
      R("%%%1%%", "%5%", 5),
      // A missing sequential argument, or a directive without its conversion, ends the output.
      R("%s, %s, %s!", "a, b, ", "a", "b"),
      // A number beyond the arguments is the width of a sequential directive.
      R("[%5s]", "[   ab]", "ab"),
      // Numbered uses, even a numbered "*", do not move the counter; an unnumbered "*" does.
      R("%2$s %s %1$s %s", "b a a b", "a", "b"),
      R("%1$*2$d|%s", "  7|7", 7, 3),
      R("%*d|%s", "   42|c", 5, 42, "c"),
      // printf directives follow the argument's type.
      R("%2$-4s|", "ab  |", 1, "ab"),
      R("%1$.*2$f", "3.14", 3.14159, 2),
      R("%1$+d %1$ d %1$05d", "+42  42 00042", 42),
      R("%1$#x %1$#o %1$X", "0xff 0377 FF", 255),
      R("%1$.3s|%1$-6.2s|", "abc|ab    |", "abcdef"),
      R("%1$c%2$c|%1$3c", "OK|  O", 'O', 75),
      // The length modifier is read, but the value keeps its own type.
      R("%1$hhd %1$hd %1$lld %1$zd %1$jd", "300 300 300 300 300", 300),
      R("%1$d", "18446744073709551615", std::numeric_limits<uint64_t>::max()),
      R("%1$Lf", "1.500000", 1.5),
      // A negative number under "u o x X" is the two's complement of its own width.
      R("%1$x", "ff", int8_t{-1}),
      R("%1$X", "FFFFFFFFFFFFFFFF", int64_t{-1}),
      R("%1$d %1$u", "200 200", uint8_t{200}),
      R("%*d|", "42   |", -5, 42),
      R("%.*s|%.*s|", "ab|abcdef|", 2, "abcdef", -1, "abcdef"),  // negative: no precision
      R("%1$*2$d|", "5|", 5, "wide"),  // a "*" that is no integer leaves the width unset
      R("%1$*2$d|", "  5|", 5, uint64_t{3}),
      // Default forms, and conversions that do not fit the argument.
      R("%1 %2 %3", "-7 18446744073709551615 -3", -7, ~uint64_t{0}, int8_t{-3}),
      R("%1%2", "Q!", 'Q', '!'),
      R("%1 %2 %3 %4", "0.1 2 1e+21 -0.5", 0.1, 2.0, 1e21, -0.5f),
      R("%1", pointer, &object),
      R("%1|%1$x", "0x0|0", nullptr),
      R("[%1]", "[(null)]", static_cast<const char*>(nullptr)),
      R("%1/%2", "owned/viewed", owned, std::string_view("viewed")),
      R("%1$d|%1$5d|", "text| text|", "text"),
      R("%1$s|%1$-4s|%1$.1s", "42|42  |4", 42),
      R("%1$d", "2.5", 2.5),
      R("%1$e", "5.000000e+00", 5),
      R("%1$f|%1$6p|", "0x0|   0x0|", nullptr),
      // A malformed or overlong directive ends the output.
      R("a%1$nb", "a", 1),  // never writes through an argument
      R("abc%", "abc", 1),
      R("a%1$*5d", "a", 1, 2),  // "*5" without "$"
      R("a%1$*3$db", "a", 1, 2),
      R("x%1$" + fits + "y", "x42   y", 42),
      R("x%1$" + too_long + "y", "x", 42),
      R("x%" + fits + "y", "x42   y", 42),
      R("x%" + too_long + "y", "x", 42),
  };
  for (const Row& row : rows) EXPECT_EQ(row.got, row.want) << row.tmpl;
}

TEST(FormatPositionalTest, OutputStopsAtTheBufferEnd) {
  char buffer[8];
  EXPECT_EQ(FormatPositionalInto(buffer, sizeof buffer, "%1 and more", "abcdef"), 7u);
  EXPECT_STREQ(buffer, "abcdef ");
  EXPECT_EQ(FormatPositionalInto(buffer, sizeof buffer, "%1$10d", 5), 7u);
  EXPECT_STREQ(buffer, "       ");
  EXPECT_EQ(FormatPositionalInto(buffer, 1, "abc"), 0u);
  EXPECT_STREQ(buffer, "");
  buffer[0] = '#';
  EXPECT_EQ(FormatPositionalInto(buffer, 0, "abc"), 0u);
  EXPECT_EQ(buffer[0], '#');

  const std::string long_text(5000, 'x');
  EXPECT_EQ(FormatPositional(long_text), std::string(kFormatBufferSize - 1, 'x'));
  EXPECT_EQ(FormatPositional("%1", long_text).size(), kFormatBufferSize - 1);
  EXPECT_EQ(FormatPositional("%1$-99999999999999999999s|", "a"),
            "a" + std::string(kFormatBufferSize - 2, ' '));
  const std::string signed_zeros = FormatPositional("%1$+09000d", 7);
  EXPECT_EQ(signed_zeros, "+" + std::string(kFormatBufferSize - 2, '0'));
}

// Numbers must look exactly as the C library prints them, even when a huge width or
// precision is cut to the buffer: compare with a wide snprintf cut to the same length.
template <typename V>
std::string PrintfReference(const std::string& format, V value, size_t limit) {
  std::vector<char> wide(1 << 16);
  const int n = std::snprintf(wide.data(), wide.size(), format.c_str(), value);
  EXPECT_GE(n, 0);
  return std::string(wide.data(), std::min<size_t>(static_cast<size_t>(n), limit));
}

TEST(FormatPositionalTest, NumbersMatchTheCLibraryIncludingCutWidths) {
  const size_t limit = kFormatBufferSize - 1;
  for (const std::string conv : {"d", "5d", "-5d", "+05d", " d", ".8d", "6000d", "-6000d",
                                 "+06000d", ".6000d", "06000.3d"}) {
    for (long long value : {0LL, 42LL, -42LL, 9223372036854775807LL}) {
      SCOPED_TRACE(conv + " " + std::to_string(value));
      const std::string ll = conv.substr(0, conv.size() - 1) + "ll" + conv.back();
      EXPECT_EQ(FormatPositional("%1$" + conv, value), PrintfReference("%" + ll, value, limit));
    }
  }
  for (const std::string conv : {"f", ".0f", "#.0f", "+.3e", "g", "#g", "a", "12.4G", "-20.10f",
                                 "05000.2f", ".5000f", ".5000e", "-5000f", ".3000f"}) {
    for (double value : {0.0, -0.0, 1.0, 0.1, -2.5, 1e300, 5e-324, 0.9999999999999999}) {
      SCOPED_TRACE(conv + " " + std::to_string(value));
      EXPECT_EQ(FormatPositional("%1$" + conv, value), PrintfReference("%" + conv, value, limit));
    }
  }
  for (size_t size : {2u, 5u, 16u, 100u}) {
    std::vector<char> buffer(size);
    for (const std::string conv : {".2000f", "2000.1f", "-2000.1f", ".2000e", "+0300.1f"}) {
      for (double value : {0.1, -123.456, 0.9999999999999999}) {
        SCOPED_TRACE(conv + " size " + std::to_string(size));
        const size_t n = FormatPositionalInto(buffer.data(), size, "%1$" + conv, value);
        EXPECT_EQ(std::string(buffer.data(), n), PrintfReference("%" + conv, value, size - 1));
      }
    }
  }
}

}  // namespace
}  // namespace Voro
