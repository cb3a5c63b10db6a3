#pragma once

#include "base/Expected.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Small file-system helpers every layer shares.
namespace sonarill::base {

// Far above any real configuration or world file; a larger one is refused, not read.
inline constexpr std::size_t kMaxTextFileSize = 16 * 1024 * 1024;

// The whole content of a file of at most `limit` bytes. Reads at most `limit` + 1 bytes, so a
// device such as /dev/zero is refused instead of read until memory runs out. The reason of a
// failure is a short phrase to follow the path: "is a folder, not a file", "is larger than
// 16 MiB", "cannot be opened: No such file or directory".
Expected<std::string> readFileBounded(const std::filesystem::path& path,
                                      std::size_t limit = kMaxTextFileSize);

// Replaces the file at `path` with `bytes` so that a reader, or a crash at any moment, finds either
// the old content or the new one, never a mix: the bytes go to a temporary file in the same
// folder, which is flushed to disk and then renamed over the target. The parent folder is
// created when missing. On failure the target is untouched and the temporary is gone; the reason
// is a short phrase to follow the path, like readFileBounded's: "cannot be written: No space left
// on device".
Expected<void> writeFileAtomically(const std::filesystem::path& path, std::string_view bytes);

// $HOME, or the user database's entry when HOME is unset or empty; absent when neither names a
// folder.
std::optional<std::filesystem::path> homeFolder();

} // namespace sonarill::base
