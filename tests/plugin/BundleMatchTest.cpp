#include "TestSupport.h"

#include "plugin/BundleFiles.h"
#include "plugin/PluginLifecycleManager.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace sonarill::plugin;
using namespace sonarill::plugin::test;
namespace sim = sonarill::sim;

namespace {

class BundleMatch : public ::testing::Test {
protected:
    TempFolder root;
    const fs::path installed = root.path() / "HAL/Sonarill.driver";
    const fs::path source = root.path() / "App/Sonarill.driver";
    PluginLifecycleManager manager{PluginInstallerEnvironment{
        nullptr, (root.path() / "HAL").string(), {}, InstallerClock::system()}};

    bool matches() { return manager.installedBundleMatches(installed, source); }
};

} // namespace

TEST_F(BundleMatch, SameIdentifierAndExecutableMatchWhateverThePlistFormat) {
    writeBundle(installed, "com.sonarill.driver", "driver 1", sim::PlistFormat::binary);
    writeBundle(source, "com.sonarill.driver", "driver 1", sim::PlistFormat::xml);
    LogCapture log;
    EXPECT_TRUE(matches());
    EXPECT_EQ(
        log.messages(),
        std::vector<std::string>{"PluginLifecycle: bundleID=com.sonarill.driver binaryMatch=true"});

    writeBundle(installed, "com.sonarill.driver", "driver 1", sim::PlistFormat::xml);
    writeBundle(source, "com.sonarill.driver", "driver 1", sim::PlistFormat::binary);
    EXPECT_TRUE(matches());
}

TEST_F(BundleMatch, DifferentIdentifiersNeverMatchAndLogNothing) {
    writeBundle(installed, "com.sonarill.driver.old", "driver 1");
    writeBundle(source, "com.sonarill.driver", "driver 1");
    LogCapture log;
    EXPECT_FALSE(matches());
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(BundleMatch, ExecutablesDifferingInOneByteOrInLengthOrMissingDoNotMatch) {
    // Past the first read chunk, so a comparison that stops early would miss it.
    std::string big(200000, 'x');
    writeBundle(source, "com.sonarill.driver", big);
    big.back() = 'y';
    writeBundle(installed, "com.sonarill.driver", big);
    LogCapture log;
    EXPECT_FALSE(matches());
    EXPECT_EQ(log.messages(), std::vector<std::string>{"PluginLifecycle: bundleID=com.sonarill."
                                                       "driver binaryMatch=false"});

    writeBundle(installed, "com.sonarill.driver", big.substr(0, 199999));
    EXPECT_FALSE(matches());

    fs::remove(installed / "Contents/MacOS/libtidewell.dylib");
    EXPECT_FALSE(matches());
    fs::remove(source / "Contents/MacOS/libtidewell.dylib");
    EXPECT_FALSE(matches()) << "two missing executables are not a match";
}

TEST_F(BundleMatch, UnreadablePlistsOrIdentifiersThatAreNotTextNeverMatch) {
    writeBundle(source, "com.sonarill.driver", "driver 1");
    const fs::path plist = installed / "Contents/Info.plist";
    writeBundle(installed, "com.sonarill.driver", "driver 1");
    const std::string binary = [&] {
        writeBundle(installed, "com.sonarill.driver", "driver 1", sim::PlistFormat::binary);
        return readFile(plist);
    }();
    const std::vector<std::string> unreadable = {
        "",
        "not a property list",
        binary.substr(0, binary.size() / 2), // truncated binary
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>com.sonarill.driver"
        "</string></array></plist>",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
        "<integer>7</integer></dict></plist>",
    };
    LogCapture log;
    for (const std::string& bytes : unreadable) {
        writeFile(plist, bytes);
        EXPECT_FALSE(matches()) << bytes;
    }
    fs::remove(plist);
    EXPECT_FALSE(matches());
    fs::create_directory(plist); // a folder where the file should be
    EXPECT_FALSE(matches());
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(BundleMatch, BundlesWithoutIdentifiersDoNotMatchEachOther) {
    const std::string withoutIdentifier = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                          "<key>CFBundleName</key><string>Sonarill</string>"
                                          "</dict></plist>";
    writeBundle(installed, "com.sonarill.driver", "driver 1");
    writeBundle(source, "com.sonarill.driver", "driver 1");
    writeFile(installed / "Contents/Info.plist", withoutIdentifier);
    writeFile(source / "Contents/Info.plist", withoutIdentifier);
    EXPECT_FALSE(matches());
    EXPECT_EQ(bundleIdentifierInPlist(source / "Contents/Info.plist"), std::nullopt);
}
