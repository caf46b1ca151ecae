#include "updatelib/base/library_texts.h"

namespace Tern {

LocalizedTextTable& LibraryTexts() {
    static LocalizedTextTable table;
    return table;
}

}  // namespace Tern
