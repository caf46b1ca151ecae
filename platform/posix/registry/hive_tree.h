// In-memory contents of one registry hive: its keys in creation order, each with its values in
// creation order. Names compare case-insensitively (ASCII) and keep the case they were created
// with.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform::reg {

// Type numbers as the desktop registry numbers them; the hive keeps any number it reads.
constexpr uint32_t kTypeString = 1;
constexpr uint32_t kTypeBinary = 3;
constexpr uint32_t kTypeDword = 4;

struct Value {
    std::string name;
    uint32_t type = kTypeString;
    std::string data;
};

struct Key {
    // Full path as created, components separated by '\'; empty for the hive root.
    std::string path;
    // Identity of the key within this process, so that a handle notices when the key it was
    // opened on has been deleted, even when a key of the same name exists again.
    uint64_t serial = 0;
    std::vector<Value> values;

    const Value* FindValue(const std::string& name) const;
    // Answers whether the key changed: false when the value already held this type and data.
    bool SetValue(const std::string& name, uint32_t type, const std::string& data);
    // Answers whether the value existed.
    bool DeleteValue(const std::string& name);
};

// ASCII lower case of `text`; the form used to look names up.
std::string FoldCase(const std::string& text);
bool EqualNoCase(const std::string& a, const std::string& b);

// Splits a key path at '\'. False when a component is empty; an empty path has no components.
bool SplitKeyPath(const std::string& path, std::vector<std::string>* components);

class Tree {
public:
    Tree();
    Tree(Tree&&) noexcept;
    Tree& operator=(Tree&&) noexcept;
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;
    ~Tree();

    // Looks a key up by its case-folded path; nullptr when missing.
    Key* Find(const std::string& foldedPath);
    const Key* Find(const std::string& foldedPath) const;

    // Returns the key at `components`, creating it and its missing parents; *created tells
    // whether any key was added.
    Key* Create(const std::vector<std::string>& components, bool* created);

    bool HasSubKeys(const std::string& foldedPath) const;
    // Removes the key (not its sub-keys); the root cannot be removed.
    void Erase(const std::string& foldedPath);

    // Root first, then every other key in creation order; a parent always precedes its children.
    const std::vector<std::unique_ptr<Key>>& Keys() const { return keys_; }

    // Gives every key that also exists in `previous` the serial it had there, so that open
    // handles survive a re-read of the file.
    void AdoptSerials(const Tree& previous);

private:
    std::vector<std::unique_ptr<Key>> keys_;
    std::map<std::string, Key*> index_;
};

}  // namespace platform::reg
