#include "platform/module_strings.h"

#include <windows.h>

#include "platform/win32/utf8.h"

namespace platform {

std::string LoadModuleString(uint16_t id) {
    // A buffer size of 0 hands out the resource's own text, which has no terminator and no
    // length limit.
    const wchar_t* text = nullptr;
    const int length =
        LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<wchar_t*>(&text), 0);
    return text ? Utf8FromWide(text, length) : std::string();
}

}  // namespace platform
