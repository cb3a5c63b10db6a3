#pragma once

#include "app/AppDelegate.h"

namespace sonarill::platform {
class MainQueue;
}

namespace sonarill::app {

// The application's windows' content: the routing popover, whose content creates the routing
// model on `mainQueue` and keeps it for the life of the process, and the settings view.
AppDelegate::Views applicationViews(platform::MainQueue& mainQueue);

} // namespace sonarill::app
