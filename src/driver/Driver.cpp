#include "driver/Driver.h"

#include "driver/HostClock.h"
#include "routing/RouteKeys.h"

#include <algorithm>

namespace sonarill::driver {

namespace {

std::string utf8Text(CFStringRef text) {
    if (text == nullptr)
        return {};
    const CFIndex capacity =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
    std::string buffer(size_t(capacity), '\0');
    if (!CFStringGetCString(text, buffer.data(), capacity, kCFStringEncodingUTF8))
        return {};
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

} // namespace

Placement MixPlan::placementOf(UInt32 clientID) const noexcept {
    for (UInt32 i = 0; i < count; ++i)
        if (entries[i].clientID == clientID)
            return entries[i].placement;
    return {};
}

Driver::Driver()
    : routeText_(CFStringCreateWithCString(kCFAllocatorDefault, "", kCFStringEncodingUTF8)),
      plan_(new MixPlan) {}

Driver::~Driver() {
    // The host has stopped IO for good before the last release.
    for (const MixPlan* plan : retired_)
        delete plan;
    delete plan_.load();
    if (routeText_ != nullptr)
        CFRelease(routeText_);
}

void Driver::initialize(AudioServerPlugInHostRef host) {
    {
        std::lock_guard lock(control_);
        host_ = host;
    }
    // The last accepted text, kept by the host across restarts of the audio server: until the
    // application pushes again, applications keep their devices rather than all playing on bus 0.
    CFPropertyListRef stored = nullptr;
    CFStringRef key = storageKey();
    if (host != nullptr && host->CopyFromStorage != nullptr &&
        host->CopyFromStorage(host, key, &stored) == kAudioHardwareNoError && stored != nullptr) {
        (void)setRouteText(static_cast<CFStringRef>(stored), false);
        CFRelease(stored);
    }
    CFRelease(key);
}

void Driver::addClient(const AudioServerPlugInClientInfo& client) {
    std::lock_guard lock(control_);
    auto slot = std::find_if(slots_.begin(), slots_.end(), [&](const ClientSlot& s) {
        return s.used && s.id == client.mClientID;
    });
    if (slot == slots_.end())
        slot =
            std::find_if(slots_.begin(), slots_.end(), [](const ClientSlot& s) { return !s.used; });
    // All slots taken: the client is not in the plan and plays at the default placement.
    if (slot == slots_.end())
        return;
    *slot = {true, client.mClientID, routing::routeKey(utf8Text(client.mBundleID))};
    publishPlan();
}

void Driver::removeClient(const AudioServerPlugInClientInfo& client) {
    std::lock_guard lock(control_);
    for (ClientSlot& slot : slots_)
        if (slot.used && slot.id == client.mClientID)
            slot = {};
    publishPlan();
}

void Driver::startIO() {
    {
        std::lock_guard lock(control_);
        if (runningClients_++ > 0)
            return;
        // A new time line: the anchor first, so a new seed never goes with an old anchor.
        anchorHostTime_.store(hostTicksNow());
        seed_.fetch_add(1);
    }
    announce(kAudioDevicePropertyDeviceIsRunning);
}

void Driver::stopIO() {
    {
        std::lock_guard lock(control_);
        if (runningClients_ == 0 || --runningClients_ > 0)
            return;
    }
    announce(kAudioDevicePropertyDeviceIsRunning);
}

bool Driver::isRunning() const {
    std::lock_guard lock(control_);
    return runningClients_ > 0;
}

CFStringRef Driver::storageKey() {
    return CFStringCreateWithCString(kCFAllocatorDefault, "route configuration",
                                     kCFStringEncodingUTF8);
}

OSStatus Driver::setRouteText(CFStringRef text, bool keep) {
    if (text == nullptr)
        return kAudioHardwareIllegalOperationError;
#if defined(__APPLE__)
    // Another process's value arrives as whatever property list it sent.
    if (CFGetTypeID(text) != CFStringGetTypeID())
        return kAudioHardwareIllegalOperationError;
#endif
    auto table = RouteTable::fromText(utf8Text(text));
    if (!table)
        return kAudioHardwareIllegalOperationError;
    {
        std::lock_guard lock(control_);
        routes_ = std::move(*table);
        CFRetain(text);
        CFRelease(routeText_);
        routeText_ = text;
        publishPlan();
    }
    announce(kRouteConfigSelector);
    AudioServerPlugInHostRef host = nullptr;
    {
        std::lock_guard lock(control_);
        host = host_;
    }
    if (keep && host != nullptr && host->WriteToStorage != nullptr) {
        CFStringRef key = storageKey();
        (void)host->WriteToStorage(host, key, text); // lost only across a restart
        CFRelease(key);
    }
    return kAudioHardwareNoError;
}

CFStringRef Driver::copyRouteText() const {
    std::lock_guard lock(control_);
    CFRetain(routeText_);
    return routeText_;
}

void Driver::announce(AudioObjectPropertySelector selector) const {
    AudioServerPlugInHostRef host = nullptr;
    {
        std::lock_guard lock(control_);
        host = host_;
    }
    if (host == nullptr)
        return;
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    host->PropertiesChanged(host, kDeviceID, 1, &address);
}

void Driver::publishPlan() {
    auto plan = new MixPlan;
    for (const ClientSlot& slot : slots_)
        if (slot.used)
            plan->entries[plan->count++] = {slot.id, routes_.placementOf(slot.routeKey)};
    retired_.push_back(plan_.exchange(plan));
    // Whatever the IO thread has not announced it cannot start reading any more: it re-checks
    // `plan_` after announcing, and `plan_` no longer holds these.
    const MixPlan* inUse = hazard_.load();
    std::erase_if(retired_, [&](const MixPlan* old) {
        if (old == inUse)
            return false;
        delete old;
        return true;
    });
}

} // namespace sonarill::driver
