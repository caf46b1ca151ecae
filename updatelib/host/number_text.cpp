#include "updatelib/host/number_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace Tern {
namespace {

constexpr int kSignificantDigits = 6;
constexpr double kExactIntegerLimit = 9007199254740992.0;  // 2^53

// The six leading digits of `digits`, rounded half to even on the exact remaining digits.
uint64_t RoundToSignificant(const char* digits, size_t count) {
    uint64_t mantissa = 0;
    for (int i = 0; i < kSignificantDigits; ++i) mantissa = mantissa * 10 + (digits[i] - '0');
    bool restIsZero = true;
    for (size_t i = kSignificantDigits + 1; i < count; ++i) restIsZero &= digits[i] == '0';
    const int next = digits[kSignificantDigits] - '0';
    if (next > 5 || (next == 5 && (!restIsZero || (mantissa & 1)))) ++mantissa;
    return mantissa;
}

void AppendExponentForm(std::string& text, uint64_t mantissa, int exponent) {
    if (mantissa == 1000000) {  // rounding carried into a new digit
        mantissa = 100000;
        ++exponent;
    }
    char digits[8] = {};
    std::to_chars(digits, digits + sizeof digits, mantissa);
    int last = kSignificantDigits - 1;
    while (last > 0 && digits[last] == '0') --last;
    text += digits[0];
    if (last > 0) {
        text += '.';
        text.append(digits + 1, static_cast<size_t>(last));
    }
    text += "e+";
    if (exponent < 10) text += '0';
    char exponentDigits[4];
    text.append(exponentDigits, std::to_chars(exponentDigits, exponentDigits + 4, exponent).ptr);
}

}  // namespace

void AppendStreamNumber(std::string& text, double number) {
    // Byte counts are whole numbers: their exact decimal digits give the rounding directly.
    if (number >= 0.0 && number < kExactIntegerLimit && number == std::floor(number)) {
        char digits[24];
        const char* end =
            std::to_chars(digits, digits + sizeof digits, static_cast<uint64_t>(number)).ptr;
        const auto count = static_cast<size_t>(end - digits);
        if (count <= static_cast<size_t>(kSignificantDigits)) {
            text.append(digits, count);
        } else {
            AppendExponentForm(text, RoundToSignificant(digits, count),
                               static_cast<int>(count) - 1);
        }
        return;
    }
    char formatted[32];
    const auto result = std::to_chars(formatted, formatted + sizeof formatted, number,
                                      std::chars_format::general, kSignificantDigits);
    text.append(formatted, result.ptr);
}

}  // namespace Tern
