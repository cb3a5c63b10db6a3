#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

// Files as tests see them: whole, as bytes.
namespace sonarill::testing {

// One stream copy, not a character at a time: tests are built unoptimised and poll logs of
// megabytes.
inline std::string readBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    if (in && in.peek() != std::ifstream::traits_type::eof())
        bytes << in.rdbuf();
    return std::move(bytes).str();
}

// Creates the folders above `file` first.
inline void writeBytes(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

// Every file and folder below `root` by relative path, with a file's bytes ("/" for a folder,
// "-> target" for a link).
inline std::map<std::string, std::string> treeOf(const std::filesystem::path& root) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        entries[entry.path().lexically_relative(root).string()] =
            entry.is_symlink()     ? "-> " + std::filesystem::read_symlink(entry).string()
            : entry.is_directory() ? "/"
                                   : readBytes(entry.path());
    return entries;
}

} // namespace sonarill::testing
