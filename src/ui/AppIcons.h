#pragma once

#include <QIcon>

#include <string>

namespace sonarill::ui {

// The icon of an application from where the platform found it: an image file, a bundle or other
// file (the platform's icon for it), or an icon theme name. Anything that cannot be shown falls
// back to the generic application icon, so a row never loses its icon to a broken path.
QIcon applicationIcon(const std::string& where);

} // namespace sonarill::ui
