#pragma once

#include "routing/Records.h"

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QString>

// Fonts and colours by role, sizes in points (one point is one device-independent pixel), so every
// view takes them from one place and follows the desktop's light or dark palette.
namespace sonarill::ui {

enum class FontRole { headline, subheadline, caption, caption2, system12 };
QFont roleFont(FontRole role);

enum class Tint { primary, secondary, accent };
QColor tintColor(const QPalette& palette, Tint tint, qreal opacity = 1.0);

// "75%" for 0.755: the volume times 100, cut towards zero.
QString percentText(float volume);

// The device's system name when it is what the popover shows, else "System name: " and it.
QString deviceNameHelp(const routing::AudioDevice& device);

QString qText(const std::string& text);

} // namespace sonarill::ui
