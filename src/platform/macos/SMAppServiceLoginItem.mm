// Apple only: the login item is the application's own main-app service of ServiceManagement
// (macOS 13 and later). Written from Apple's documentation; this file is not compiled on Linux.
#include "platform/qt/LoginItem.h"

#import <Foundation/Foundation.h>
#import <ServiceManagement/ServiceManagement.h>

namespace sonarill::platform {

base::Expected<void> setLoginItemEnabled(bool enabled) {
    @autoreleasepool {
        if (@available(macOS 13.0, *)) {
            SMAppService* service = SMAppService.mainAppService;
            NSError* error = nil;
            const BOOL done = enabled ? [service registerAndReturnError:&error]
                                      : [service unregisterAndReturnError:&error];
            if (done)
                return {};
            const char* reason = error.localizedDescription.UTF8String;
            return base::Failure{reason ? reason : "unknown error"};
        }
        return base::Failure{"login items need macOS 13 or later"};
    }
}

} // namespace sonarill::platform
