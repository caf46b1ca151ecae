// The update library's own localized texts, loaded when a host starts.
#pragma once

#include <string>

#include "updatelib/base/localized_text.h"

namespace Tern {

LocalizedTextTable& LibraryTexts();

// The library's text of `key`, or the key itself.
inline std::string LibText(const std::string& key) { return LibraryTexts().GetText(key); }

}  // namespace Tern
