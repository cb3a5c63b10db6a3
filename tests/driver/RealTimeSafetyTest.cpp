// Proof that the driver's IO calls neither allocate, free, nor take a pthread lock: every call of
// the host's IO cycles with 32 clients and an unknown one is made on a marked thread (see
// support/RealTimeCounting.h). The second row marks AddDeviceClient instead, a control call that
// allocates and locks inside the module: it must be seen, or the first row could not fail.
#include "driver/DriverHost.h"
#include "support/RealTimeCounting.h"

#include <gtest/gtest.h>

namespace {

using namespace sonarill::testing;

TEST(DriverRealTimeSafety, IOCallsNeitherAllocateNorFreeNorLock) {
    std::string text =
        "devices:\n- uid: \"A\"\n  name: \"A\"\n- uid: \"B\"\n  name: \"B\"\napp_routes:\n";
    for (int id = 1; id <= 32; ++id)
        text +=
            "- bundle_id: \"app" + std::to_string(id) + "\"\n  device_uid: \"B\"\n  volume: 0.5\n";
    for (const bool markIO : {true, false}) {
        SCOPED_TRACE(markIO ? "IO calls" : "AddDeviceClient");
        const DriverHost host;
        ASSERT_EQ(host.pushRouteText(text), noErr);
        std::vector<ClientOutput> plays;
        for (UInt32 id = 1; id <= 33; ++id) {
            if (id <= 32)
                host.addClient(id, ("app" + std::to_string(id)).c_str());
            plays.push_back({id, 0.01f, -0.01f});
        }
        std::vector<float> input(kPeriod * 16), output(kPeriod * 2);
        CFStringRef bundle =
            CFStringCreateWithCString(nullptr, "org.example.latecomer", kCFStringEncodingUTF8);
        ASSERT_EQ(host->StartIO(host.ref(), kDevice, 1), noErr);
        realtime::resetCounts();
        for (UInt64 n = 0; n < 8; ++n) {
            if (markIO) {
                const realtime::Marked ioThread;
                host.cycle(n, Float64(n * kPeriod), kPeriod, plays, input, output);
            } else {
                const AudioServerPlugInClientInfo info{UInt32(100 + n), 100, true, bundle};
                const realtime::Marked controlThread;
                host->AddDeviceClient(host.ref(), kDevice, &info);
            }
        }
        const realtime::Counts counts = realtime::counts();
        EXPECT_EQ(counts.allocations > 0 && counts.frees > 0 && counts.lockCalls > 0, !markIO);
        EXPECT_EQ(counts.allocations + counts.frees + counts.lockCalls == 0, markIO);
        EXPECT_NEAR(input[2], markIO ? 32 * 0.005f : 0.0f, 1e-5) << "the cycles mixed";
        EXPECT_EQ(host->StopIO(host.ref(), kDevice, 1), noErr);
        CFRelease(bundle);
    }
}

} // namespace
