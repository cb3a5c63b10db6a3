#pragma once

#include "routing/AudioRoutingViewModel.h"
#include "ui/AppRouteRow.h"
#include "ui/Controls.h"
#include "ui/DeviceView.h"
#include "ui/KeyedWidgets.h"
#include "ui/RebuildGate.h"

#include <QWidget>

namespace sonarill::ui {

// A device in use: its name, buttons and master volume, then its applications, or "Drop apps
// here" while it has none. The whole section takes dropped applications.
class DeviceSectionView : public DeviceView {
    Q_OBJECT
public:
    DeviceSectionView(const routing::AudioDevice& device, routing::AudioRoutingViewModel& model,
                      RebuildGate& gate, QWidget* parent = nullptr);
    // Shows `device` and the model's applications on it; see KeyedWidgets for `restructure`.
    bool display(const routing::AudioDevice& device, bool restructure);

private:
    SymbolView* icon_;
    ElidedLabel* name_;
    VolumeSlider* volume_;
    ElidedLabel* percent_;
    ElidedLabel* dropHint_;
    KeyedWidgets<AppRouteRow> rows_;
};

} // namespace sonarill::ui
