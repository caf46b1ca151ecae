// Numbers as a standard stream with default formatting writes them, made cheaply enough for
// the per-chunk progress line.
#pragma once

#include <string>

namespace Tern {

// Appends `number` the way "%g" formats it: six significant digits, exponent form from 1e6.
void AppendStreamNumber(std::string& text, double number);

}  // namespace Tern
