#include "updatelib/engine/update.h"

#include <cstring>
#include <utility>

namespace Tern {

Update::Update(const TargetId& target, std::vector<std::string> mirrors, std::string signature,
               int32_t size, std::string version, std::vector<TargetId> applyAfter,
               bool containsUpgradeLauncher, std::string description)
    : TargetItem(target),
      mirrors(std::move(mirrors)),
      signature(std::move(signature)),
      size(size),
      version(std::move(version)),
      applyAfter(std::move(applyAfter)),
      containsUpgradeLauncher(containsUpgradeLauncher),
      description(std::move(description)) {}

const char* Update::TypeName() const { return "Update"; }

bool Update::IsKindOf(const char* name) const {
    return std::strcmp(name, "Update") == 0 || std::strcmp(name, "TargetItem") == 0;
}

void Update::Hook() {}

void Update::Dump(std::ostream& out) const {
    out << "\tSignature=" << signature << std::endl;
    out << "\tVersion=" << version << std::endl;
    out << "\tSize=" << size << std::endl;
    if (!mirrors.empty()) {
        out << "\tMirrors:" << std::endl;
        for (const std::string& mirror : mirrors) out << "\t\t" << mirror << std::endl;
    }
    if (containsUpgradeLauncher) out << "\tContainsUpgradeLauncher" << std::endl;
    if (!applyAfter.empty()) {
        out << "\tApplyAfter:" << std::endl;
        for (const TargetId& after : applyAfter) out << "\t\t" << after.ToText() << std::endl;
    }
    if (!description.empty()) out << "\tDescription=" << description << std::endl;
}

Update::Ptr Update::Clone() const { return Ptr(new Update(*this)); }

void Update::Destroy() { delete this; }

}  // namespace Tern
