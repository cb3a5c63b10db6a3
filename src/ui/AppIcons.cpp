#include "ui/AppIcons.h"

#include "ui/SymbolImages.h"
#include "ui/Theme.h"

#include <QApplication>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QImageReader>

namespace sonarill::ui {

namespace {

QIcon genericApplicationIcon() {
    QIcon icon = QIcon::fromTheme(QStringLiteral("application-x-executable"));
    if (!icon.isNull())
        return icon;
    return QIcon(symbolPixmap(QStringLiteral("app"), 16,
                              tintColor(QApplication::palette(), Tint::secondary), 2.0));
}

} // namespace

QIcon applicationIcon(const std::string& where) {
    const QString text = qText(where);
    const QFileInfo file(text);
    if (file.isAbsolute() && file.exists()) {
        if (file.isFile() && QImageReader(text).canRead())
            return QIcon(text);
        const QIcon platformIcon = QFileIconProvider().icon(file);
        if (!platformIcon.isNull())
            return platformIcon;
    } else if (!text.isEmpty() && QIcon::hasThemeIcon(text)) {
        return QIcon::fromTheme(text);
    }
    return genericApplicationIcon();
}

} // namespace sonarill::ui
