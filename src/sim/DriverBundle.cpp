#include "sim/DriverBundle.h"

#include "base/Files.h"

#include <plist/plist.h>

#include <cstdlib>
#include <fstream>
#include <memory>

namespace sonarill::sim {

namespace {

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

bool writeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    return !file.fail();
}

std::optional<std::string> encodeInfoPlist(const DriverBundle& bundle, PlistFormat format) {
    PlistPtr dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "CFBundleIdentifier",
                        plist_new_string(bundle.bundleIdentifier.c_str()));
    plist_dict_set_item(dict.get(), "CFBundleName", plist_new_string("Sonarill"));
    const std::string executableName =
        std::filesystem::path(kDriverExecutablePath).filename().string();
    plist_dict_set_item(dict.get(), "CFBundleExecutable", plist_new_string(executableName.c_str()));
    plist_dict_set_item(dict.get(), "CFBundlePackageType", plist_new_string("BNDL"));
    plist_dict_set_item(dict.get(), "CFBundleShortVersionString",
                        plist_new_string(SONARILL_VERSION));
    plist_dict_set_item(dict.get(), std::string(kRouteConfigSupportKey).c_str(),
                        plist_new_bool(bundle.supportsRouteConfig ? 1 : 0));
    if (!bundle.factoryFunction.empty()) {
        PlistPtr factories(plist_new_dict());
        plist_dict_set_item(factories.get(), bundle.factoryUUID.c_str(),
                            plist_new_string(bundle.factoryFunction.c_str()));
        plist_dict_set_item(dict.get(), "CFPlugInFactories", factories.release());
        PlistPtr uuids(plist_new_array());
        plist_array_append_item(uuids.get(), plist_new_string(bundle.factoryUUID.c_str()));
        PlistPtr types(plist_new_dict());
        plist_dict_set_item(types.get(), std::string(kAudioServerPlugInTypeUUIDText).c_str(),
                            uuids.release());
        plist_dict_set_item(dict.get(), "CFPlugInTypes", types.release());
    }
    char* data = nullptr;
    uint32_t length = 0;
    if (format == PlistFormat::binary)
        plist_to_bin(dict.get(), &data, &length);
    else
        plist_to_xml(dict.get(), &data, &length);
    if (data == nullptr)
        return std::nullopt;
    std::string encoded(data, length);
    std::free(data);
    return encoded;
}

std::optional<std::string> stringValue(plist_t dict, std::string_view key) {
    plist_t node = plist_dict_get_item(dict, std::string(key).c_str());
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    char* text = nullptr;
    plist_get_string_val(node, &text);
    if (text == nullptr)
        return std::nullopt;
    std::string value(text);
    std::free(text);
    return value;
}

bool boolValue(plist_t dict, std::string_view key, bool absent) {
    plist_t node = plist_dict_get_item(dict, std::string(key).c_str());
    if (node == nullptr || plist_get_node_type(node) != PLIST_BOOLEAN)
        return absent;
    uint8_t value = 0;
    plist_get_bool_val(node, &value);
    return value != 0;
}

// The first factory CFPlugInTypes lists for a HAL driver, with the function CFPlugInFactories
// names for it, as CFPlugIn finds a type's factory.
void readFactory(plist_t root, DriverBundle& bundle) {
    plist_t types = plist_dict_get_item(root, "CFPlugInTypes");
    plist_t factories = plist_dict_get_item(root, "CFPlugInFactories");
    if (types == nullptr || factories == nullptr || plist_get_node_type(types) != PLIST_DICT ||
        plist_get_node_type(factories) != PLIST_DICT)
        return;
    plist_t uuids = plist_dict_get_item(types, std::string(kAudioServerPlugInTypeUUIDText).c_str());
    if (uuids == nullptr || plist_get_node_type(uuids) != PLIST_ARRAY ||
        plist_array_get_size(uuids) == 0)
        return;
    plist_t first = plist_array_get_item(uuids, 0);
    if (plist_get_node_type(first) != PLIST_STRING)
        return;
    char* uuid = nullptr;
    plist_get_string_val(first, &uuid);
    if (uuid == nullptr)
        return;
    bundle.factoryUUID = uuid;
    std::free(uuid);
    bundle.factoryFunction = stringValue(factories, bundle.factoryUUID).value_or("");
    if (bundle.factoryFunction.empty())
        bundle.factoryUUID.clear();
}

} // namespace

std::filesystem::path carriedDriverBundlePath() {
    return SONARILL_CARRIED_DRIVER_DIR;
}

DriverBundle carriedDriverBundle() {
    return readDriverBundle(carriedDriverBundlePath()).value_or(DriverBundle{});
}

base::Expected<void> writeDriverBundle(const std::filesystem::path& bundlePath,
                                       const DriverBundle& bundle, PlistFormat format) {
    std::error_code error;
    std::filesystem::remove_all(bundlePath, error);
    if (error)
        return base::Failure{"cannot remove the old " + bundlePath.string() + ": " +
                             error.message()};
    const auto executable = bundlePath / kDriverExecutablePath;
    std::filesystem::create_directories(executable.parent_path(), error);
    if (error)
        return base::Failure{"cannot create " + executable.parent_path().string() + ": " +
                             error.message()};
    const auto plist = encodeInfoPlist(bundle, format);
    if (!plist)
        return base::Failure{std::string("cannot encode Info.plist")};
    if (!writeFile(bundlePath / kDriverInfoPlistPath, *plist))
        return base::Failure{"cannot write " + (bundlePath / kDriverInfoPlistPath).string()};
    if (!writeFile(executable, bundle.executable))
        return base::Failure{"cannot write " + executable.string()};
    return {};
}

std::optional<DriverBundle> readDriverBundle(const std::filesystem::path& bundlePath) {
    const auto plistBytes = base::readFileBounded(bundlePath / kDriverInfoPlistPath);
    // The reader's bound fits libplist's 32-bit lengths.
    if (!plistBytes || plistBytes->empty())
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(plistBytes->data(), static_cast<uint32_t>(plistBytes->size()), &root);
    PlistPtr owner(root);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT)
        return std::nullopt;
    const auto identifier = stringValue(root, "CFBundleIdentifier");
    if (!identifier)
        return std::nullopt;
    auto executable = base::readFileBounded(bundlePath / kDriverExecutablePath);
    if (!executable)
        return std::nullopt;
    DriverBundle bundle{*identifier, boolValue(root, kRouteConfigSupportKey, true),
                        std::move(*executable)};
    readFactory(root, bundle);
    return bundle;
}

} // namespace sonarill::sim
