#include "ui/Theme.h"

#include <algorithm>
#include <cmath>

namespace sonarill::ui {

QFont roleFont(FontRole role) {
    QFont result;
    switch (role) {
    case FontRole::headline:
        result.setPixelSize(13);
        result.setWeight(QFont::Bold);
        break;
    case FontRole::subheadline:
        result.setPixelSize(11);
        break;
    case FontRole::caption:
    case FontRole::caption2:
        result.setPixelSize(10);
        break;
    case FontRole::system12:
        result.setPixelSize(12);
        break;
    }
    return result;
}

QColor tintColor(const QPalette& palette, Tint tint, qreal opacity) {
    QColor result;
    switch (tint) {
    case Tint::primary:
        result = palette.color(QPalette::WindowText);
        break;
    case Tint::secondary:
        // Secondary text is the primary text half transparent, on light and dark alike.
        result = palette.color(QPalette::WindowText);
        result.setAlphaF(result.alphaF() * 0.5f);
        break;
    case Tint::accent:
        result = palette.color(QPalette::Highlight);
        break;
    }
    result.setAlphaF(static_cast<float>(result.alphaF() * opacity));
    return result;
}

QString percentText(float volume) {
    // The model keeps volumes in 0...1; a stray NaN or huge value must not reach the integer
    // conversion.
    const float limited = std::isnan(volume) ? 0.0f : std::clamp(volume, 0.0f, 1.0f);
    return QString::number(static_cast<int>(limited * 100.0f)) + QLatin1Char('%');
}

QString deviceNameHelp(const routing::AudioDevice& device) {
    if (device.displayName() == device.name)
        return qText(device.name);
    return QStringLiteral("System name: ") + qText(device.name);
}

QString qText(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace sonarill::ui
