#pragma once

#include "base/Expected.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The values the routing model works with: output devices, running applications and the
// records of the configuration file.
namespace sonarill::routing {

// One output device known to the model. Identified by its uid; deliberately no equality.
struct AudioDevice {
    std::string uid;
    std::string name;
    std::optional<std::string> customName;
    bool enabled = false;
    int64_t sortOrder = 0;
    float masterVolume = 1.0f;

    const std::string& id() const { return uid; }
    // The trimmed custom name when it has any text, otherwise the audio system's name.
    std::string displayName() const;
    // A system symbol name chosen from the device's own name, never from the custom name.
    std::string iconName() const;
};

// One running application, or application group, shown in the popover.
struct RoutedApp {
    std::string bundleId;
    std::string name;
    // Where the platform found the application's icon (a file path or theme icon name);
    // only for display, never stored.
    std::optional<std::string> icon;
    float volume = 1.0f;
    // The empty text means "no device".
    std::string deviceUid;

    const std::string& id() const { return bundleId; }
};

struct PersistedDevice {
    std::string uid;
    std::string name;
    std::optional<std::string> customName;
    bool enabled = true;
    int64_t sortOrder = 0;
    float masterVolume = 1.0f;

    bool operator==(const PersistedDevice&) const = default;
};

struct PersistedAppRoute {
    std::string bundleId;
    std::string deviceUid;
    float volume = 1.0f;

    bool operator==(const PersistedAppRoute&) const = default;
};

struct PersistedConfig {
    std::vector<PersistedDevice> devices;
    std::vector<PersistedAppRoute> appRoutes;

    bool operator==(const PersistedConfig&) const = default;
};

PersistedDevice toPersisted(const AudioDevice& device);

// The JSON form of the configuration (read only). Any missing required key, wrong type or
// malformed text fails the whole reading, with the reason ("JSON parse error at line 3, ...",
// "JSON device 2: ..."): there is no partial result.
base::Expected<PersistedConfig> decodePersistedConfigJSON(std::string_view json);

} // namespace sonarill::routing
