#pragma once

#include "ui/Controls.h"
#include "ui/DeviceView.h"

namespace sonarill::ui {

// A device not in use, dimmed, with its buttons; the remove button only while it is enabled.
// Dropping an application on it moves the application there, which puts the device in use.
class InactiveDeviceRow : public DeviceView {
    Q_OBJECT
public:
    InactiveDeviceRow(const routing::AudioDevice& device, routing::AudioRoutingViewModel& model,
                      RebuildGate& gate, QWidget* parent = nullptr);
    bool display(const routing::AudioDevice& device, bool restructure);

private:
    SymbolView* icon_;
    ElidedLabel* name_;
};

} // namespace sonarill::ui
