#include "platform/posix/registry/hive_tree.h"

#include <algorithm>
#include <atomic>

namespace platform::reg {
namespace {

char FoldChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

uint64_t NextSerial() {
    static std::atomic<uint64_t> counter{0};
    return ++counter;
}

}  // namespace

std::string FoldCase(const std::string& text) {
    std::string folded(text);
    std::transform(folded.begin(), folded.end(), folded.begin(), FoldChar);
    return folded;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldChar(a[i]) != FoldChar(b[i])) return false;
    }
    return true;
}

bool SplitKeyPath(const std::string& path, std::vector<std::string>* components) {
    components->clear();
    if (path.empty()) return true;
    size_t start = 0;
    while (true) {
        size_t end = path.find('\\', start);
        std::string component = path.substr(start, end - start);
        if (component.empty()) return false;
        components->push_back(std::move(component));
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

const Value* Key::FindValue(const std::string& name) const {
    for (const Value& value : values) {
        if (EqualNoCase(value.name, name)) return &value;
    }
    return nullptr;
}

bool Key::SetValue(const std::string& name, uint32_t type, const std::string& data) {
    for (Value& value : values) {
        if (!EqualNoCase(value.name, name)) continue;
        if (value.type == type && value.data == data) return false;
        value.type = type;
        value.data = data;
        return true;
    }
    values.push_back(Value{name, type, data});
    return true;
}

bool Key::DeleteValue(const std::string& name) {
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const Value& value) { return EqualNoCase(value.name, name); });
    if (it == values.end()) return false;
    values.erase(it);
    return true;
}

Tree::Tree() {
    auto root = std::make_unique<Key>();
    root->serial = NextSerial();
    index_.emplace(std::string(), root.get());
    keys_.push_back(std::move(root));
}

Tree::Tree(Tree&&) noexcept = default;
Tree& Tree::operator=(Tree&&) noexcept = default;
Tree::~Tree() = default;

Key* Tree::Find(const std::string& foldedPath) {
    auto it = index_.find(foldedPath);
    return it == index_.end() ? nullptr : it->second;
}

const Key* Tree::Find(const std::string& foldedPath) const {
    auto it = index_.find(foldedPath);
    return it == index_.end() ? nullptr : it->second;
}

Key* Tree::Create(const std::vector<std::string>& components, bool* created) {
    *created = false;
    Key* key = keys_.front().get();
    std::string folded;
    for (const std::string& component : components) {
        if (!folded.empty()) folded += '\\';
        folded += FoldCase(component);
        Key* existing = Find(folded);
        if (!existing) {
            auto child = std::make_unique<Key>();
            child->path = key->path.empty() ? component : key->path + '\\' + component;
            child->serial = NextSerial();
            existing = child.get();
            index_.emplace(folded, existing);
            keys_.push_back(std::move(child));
            *created = true;
        }
        key = existing;
    }
    return key;
}

bool Tree::HasSubKeys(const std::string& foldedPath) const {
    const std::string prefix = foldedPath.empty() ? std::string() : foldedPath + '\\';
    auto it = index_.upper_bound(prefix);
    return it != index_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

void Tree::Erase(const std::string& foldedPath) {
    auto it = index_.find(foldedPath);
    if (foldedPath.empty() || it == index_.end()) return;
    Key* key = it->second;
    index_.erase(it);
    keys_.erase(std::find_if(keys_.begin(), keys_.end(),
                             [key](const std::unique_ptr<Key>& k) { return k.get() == key; }));
}

void Tree::AdoptSerials(const Tree& previous) {
    for (auto& [folded, key] : index_) {
        if (const Key* old = previous.Find(folded)) key->serial = old->serial;
    }
}

}  // namespace platform::reg
