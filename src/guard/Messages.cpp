#include "guard/Messages.h"

#include <nlohmann/json.hpp>

#include <limits>

namespace sonarill::guard {

namespace {

using nlohmann::json;

std::optional<std::string> text(const json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string())
        return std::nullopt;
    return found->get<std::string>();
}

} // namespace

std::string encodeMessage(const Message& message) {
    json line;
    if (const auto* outputs = std::get_if<OutputsMessage>(&message)) {
        line = {{"type", "outputs"},
                {"defaultOutput", outputs->outputs.defaultOutputUID},
                {"defaultSystemOutput", outputs->outputs.defaultSystemOutputUID}};
    } else if (const auto* frameSize = std::get_if<FrameSizeMessage>(&message)) {
        line = {{"type", "frameSize"}, {"uid", frameSize->uid}};
        if (frameSize->originalSize)
            line["originalSize"] = *frameSize->originalSize;
    } else {
        line = {{"type", "quit"}};
    }
    // JSON escapes every line feed inside a UID, so a message stays one line.
    return line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<Message> decodeMessage(std::string_view line) {
    const json object = json::parse(line, nullptr, false);
    if (!object.is_object())
        return std::nullopt;
    const auto type = text(object, "type");
    if (type == "quit")
        return QuitMessage{};
    if (type == "outputs") {
        auto output = text(object, "defaultOutput");
        auto systemOutput = text(object, "defaultSystemOutput");
        if (!output || !systemOutput)
            return std::nullopt;
        return OutputsMessage{{std::move(*output), std::move(*systemOutput)}};
    }
    if (type == "frameSize") {
        auto uid = text(object, "uid");
        if (!uid || uid->empty())
            return std::nullopt;
        const auto size = object.find("originalSize");
        if (size == object.end())
            return FrameSizeMessage{std::move(*uid), std::nullopt};
        if (!size->is_number_unsigned() || size->get<uint64_t>() == 0 ||
            size->get<uint64_t>() > std::numeric_limits<uint32_t>::max())
            return std::nullopt;
        return FrameSizeMessage{std::move(*uid), static_cast<uint32_t>(size->get<uint64_t>())};
    }
    return std::nullopt;
}

} // namespace sonarill::guard
