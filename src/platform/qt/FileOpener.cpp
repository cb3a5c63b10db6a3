#include "platform/qt/FileOpener.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

namespace sonarill::platform {

void openInDefaultApplication(const std::filesystem::path& file) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(file.string())));
}

} // namespace sonarill::platform
