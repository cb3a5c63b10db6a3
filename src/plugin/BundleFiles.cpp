#include "plugin/BundleFiles.h"

#include "base/Files.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <plist/plist.h>
#include <vector>

namespace sonarill::plugin {
namespace {

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPointer = std::unique_ptr<void, PlistDeleter>;

std::optional<std::string> stringValue(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    char* value = nullptr;
    plist_get_string_val(node, &value);
    if (!value)
        return std::nullopt;
    std::string text(value);
    std::free(value); // allocated by libplist with malloc
    return text;
}

bool sameStreamBytes(std::ifstream& first, std::ifstream& second) {
    constexpr std::streamsize kChunk = 65536;
    std::vector<char> firstChunk(kChunk);
    std::vector<char> secondChunk(kChunk);
    for (;;) {
        first.read(firstChunk.data(), kChunk);
        second.read(secondChunk.data(), kChunk);
        const std::streamsize count = first.gcount();
        if (first.bad() || second.bad() || count != second.gcount())
            return false;
        if (!std::equal(firstChunk.begin(), firstChunk.begin() + count, secondChunk.begin()))
            return false;
        if (first.eof() || second.eof())
            return first.eof() && second.eof();
    }
}

} // namespace

std::optional<std::string> bundleIdentifierInPlist(const std::filesystem::path& plistFile) {
    const base::Expected<std::string> bytes = base::readFileBounded(plistFile);
    // An Info.plist is a few kilobytes; the reader's bound also fits libplist's 32-bit lengths.
    if (!bytes || bytes->empty())
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &root);
    const PlistPointer owner(root);
    if (!root || plist_get_node_type(root) != PLIST_DICT)
        return std::nullopt;
    return stringValue(plist_dict_get_item(root, "CFBundleIdentifier"));
}

bool filesHaveSameBytes(const std::filesystem::path& first, const std::filesystem::path& second) {
    std::error_code error;
    const std::uintmax_t firstSize = std::filesystem::file_size(first, error);
    if (error)
        return false;
    const std::uintmax_t secondSize = std::filesystem::file_size(second, error);
    if (error || firstSize != secondSize)
        return false;
    std::ifstream firstStream(first, std::ios::binary);
    std::ifstream secondStream(second, std::ios::binary);
    if (!firstStream || !secondStream)
        return false;
    return sameStreamBytes(firstStream, secondStream);
}

} // namespace sonarill::plugin
