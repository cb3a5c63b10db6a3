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

// The whole content of a regular file of at most `limit` bytes, links followed. The file is
// opened without waiting, so a FIFO in its place is refused at once rather than hanging the
// reader, as is a device such as /dev/zero. The reason of a failure is a short phrase to follow
// the path: "is a folder, not a file", "is a pipe (FIFO), not a regular file", "is larger than
// 16 MiB", "cannot be opened: No such file or directory". The one reader of every file a user
// or another program can put in our way.
Expected<std::string> readFileBounded(const std::filesystem::path& path,
                                      std::size_t limit = kMaxTextFileSize);

// Replaces the file at `path` with `bytes` so that a reader, or a crash at any moment, finds either
// the old content or the new one, never a mix: the bytes go to a temporary file in the same
// folder, which is flushed to disk and then renamed over the target. When `path` is a symbolic
// link, the file it leads to is replaced and the link stays; a dangling link's target is created
// if its folder exists. Otherwise the parent folder is created when missing. On failure the
// target is untouched and the temporary is gone; the reason is a short phrase to follow the
// path, like readFileBounded's: "cannot be written: No space left on device".
Expected<void> writeFileAtomically(const std::filesystem::path& path, std::string_view bytes);

// Renames `path` to `path` + `suffix`, or, when kept copies are there already, to the name after
// the newest: `suffix` + ".1" and so on, at most `keep` names in all. When the last is taken the
// oldest is dropped and the others move down one, so numbers follow the order of keeping. Gives
// the name used, or the reason the rename failed.
Expected<std::filesystem::path> moveAside(const std::filesystem::path& path,
                                          std::string_view suffix, int keep);

// $HOME, or the user database's entry when HOME is unset or empty; absent when neither names a
// folder.
std::optional<std::filesystem::path> homeFolder();

} // namespace sonarill::base
