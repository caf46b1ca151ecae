// The system's wide (UTF-16) texts as the UTF-8 the program works in, for the Windows
// realisation alone.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

// The first `length` units of `text`; an unpaired surrogate becomes U+FFFD.
inline std::string Utf8FromWide(const wchar_t* text, int length) {
    const int size =
        length > 0 ? WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr)
                   : 0;
    std::string converted(size > 0 ? size : 0, '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text, length, &converted[0], size, nullptr, nullptr);
    }
    return converted;
}

}  // namespace platform
