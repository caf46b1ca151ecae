#include "updatelib/host/number_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

namespace {

std::string Formatted(double number) {
    std::string text;
    Tern::AppendStreamNumber(text, number);
    return text;
}

std::string Printf(double number) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", number);
    return text;
}

TEST(StreamNumber, MatchesTheStreamFormattingAtRoundingBoundaries) {
    for (double number :
         {0.0, 21.0, 999999.0, 1000000.0, 1234565.0, 1234575.0, 1234575.5, 9999995.0, 9999994.0,
          268435456.0, 1e21, 0.5, 45.3125, 99.6, -3.0, 1e-5, 2.0 / 3.0}) {
        EXPECT_EQ(Formatted(number), Printf(number)) << number;
    }
}

TEST(StreamNumber, MatchesTheStreamFormattingForWholeByteCounts) {
    std::mt19937_64 random(5);
    for (int i = 0; i < 200000; ++i) {
        const double number = static_cast<double>(random() >> (i % 60));
        ASSERT_EQ(Formatted(number), Printf(number)) << number;
    }
}

}  // namespace
