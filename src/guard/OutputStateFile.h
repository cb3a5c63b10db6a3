#pragma once

#include "base/Expected.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The default outputs the application found at launch, kept in a small file beside the
// configuration file so that a run that died without giving the output back does not take the
// virtual device for the user's own at the next launch.
//
// The application writes the file when it records the original outputs at launch (and they are
// not the virtual device), removes it after a restore at quit that succeeded, and at launch asks
// chooseOriginalOutput which device is the original.
namespace sonarill::guard {

inline constexpr std::string_view kOutputStateFileName = "outputs.state";

// Empty where unknown; never both empty in a file.
struct RecordedOutputs {
    std::string defaultOutputUID;
    std::string defaultSystemOutputUID;
    bool operator==(const RecordedOutputs&) const = default;
};

// <home>/Library/Application Support/Sonarill/outputs.state, beside config.yaml; absent without
// a home folder.
std::optional<std::filesystem::path> defaultOutputStatePath();

// Replaces the file atomically (a crash leaves the old content or the new, never a mix), creating
// its folder. The reason of a failure is a short phrase, as base::writeFileAtomically gives it.
base::Expected<void> writeOutputState(const std::filesystem::path& path,
                                      const RecordedOutputs& outputs);

// What writeOutputState wrote. Absent when the file is missing, unreadable, larger than 64 KiB,
// or anything else: a damaged file is no file.
std::optional<RecordedOutputs> readOutputState(const std::filesystem::path& path);

// True when no file is there afterwards, also when there was none.
bool removeOutputState(const std::filesystem::path& path);

struct OriginalOutput {
    std::optional<std::string> uid; // the device to record as the original; absent: unknown
    bool keptFromEarlierRun = false;
};

// The original default output (or default system output) to record at launch. When the current
// default is the virtual device, left over from a run that did not give it back, and the state
// file's UID for the same role names another device that `isPresent`, that device is the
// original: the application then logs "Original default output (kept from an earlier run): " and
// the UID. Otherwise the current default is (the virtual device included, as before). Pure: the
// caller reads the current default, the file, and the device list.
OriginalOutput chooseOriginalOutput(const std::optional<std::string>& currentDefaultUID,
                                    const std::optional<std::string>& keptUID,
                                    const std::function<bool(const std::string&)>& isPresent);

} // namespace sonarill::guard
