#include "guard/OutputStateFile.h"

#include "audio/DeviceLookup.h"
#include "base/Files.h"

#include <nlohmann/json.hpp>

namespace sonarill::guard {

namespace {

using nlohmann::json;

constexpr size_t kMaxStateFileSize = 64 * 1024;

} // namespace

std::optional<std::filesystem::path> defaultOutputStatePath() {
    const auto home = base::homeFolder();
    if (!home)
        return std::nullopt;
    return *home / "Library" / "Application Support" / "Sonarill" / kOutputStateFileName;
}

base::Expected<void> writeOutputState(const std::filesystem::path& path,
                                      const RecordedOutputs& outputs) {
    const json top = {{"defaultOutput", outputs.defaultOutputUID},
                      {"defaultSystemOutput", outputs.defaultSystemOutputUID}};
    // Replaced, not refused: a UID that is not UTF-8 must not lose the other one.
    return base::writeFileAtomically(path, top.dump(2, ' ', false, json::error_handler_t::replace) +
                                               "\n");
}

std::optional<RecordedOutputs> readOutputState(const std::filesystem::path& path) {
    const auto text = base::readFileBounded(path, kMaxStateFileSize);
    if (!text)
        return std::nullopt;
    const json top = json::parse(*text, nullptr, false);
    if (!top.is_object())
        return std::nullopt;
    const auto output = top.find("defaultOutput");
    const auto systemOutput = top.find("defaultSystemOutput");
    if (output == top.end() || systemOutput == top.end() || !output->is_string() ||
        !systemOutput->is_string())
        return std::nullopt;
    RecordedOutputs outputs{output->get<std::string>(), systemOutput->get<std::string>()};
    if (outputs.defaultOutputUID.empty() && outputs.defaultSystemOutputUID.empty())
        return std::nullopt;
    return outputs;
}

bool removeOutputState(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::is_directory(std::filesystem::symlink_status(path, error)))
        return false; // not ours to remove
    std::filesystem::remove(path, error);
    return !error;
}

OriginalOutput chooseOriginalOutput(const std::optional<std::string>& currentDefaultUID,
                                    const std::optional<std::string>& keptUID,
                                    const std::function<bool(const std::string&)>& isPresent) {
    if (currentDefaultUID == audio::kVirtualDeviceUID && keptUID && !keptUID->empty() &&
        *keptUID != audio::kVirtualDeviceUID && isPresent(*keptUID))
        return {*keptUID, true};
    return {currentDefaultUID, false};
}

} // namespace sonarill::guard
