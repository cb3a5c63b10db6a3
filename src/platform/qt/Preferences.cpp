#include "platform/qt/Preferences.h"

#include <QSettings>
#include <QString>

namespace sonarill::platform {

namespace {

QString key() {
    return QString::fromUtf8(kAutoStartEnabledKey.data(),
                             static_cast<qsizetype>(kAutoStartEnabledKey.size()));
}

} // namespace

bool autoStartEnabled() {
    return QSettings().value(key(), false).toBool();
}

void setAutoStartEnabled(bool enabled) {
    QSettings settings;
    settings.setValue(key(), enabled);
    // Written now, not at the store's next idle moment: a quit right after the click keeps it.
    settings.sync();
}

} // namespace sonarill::platform
