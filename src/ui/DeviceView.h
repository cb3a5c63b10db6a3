#pragma once

#include "routing/AudioRoutingViewModel.h"
#include "ui/Controls.h"
#include "ui/DeviceIconButton.h"
#include "ui/RebuildGate.h"

#include <QWidget>

// What a device section and an inactive device row share: their icon buttons and how they take
// dropped applications.
namespace sonarill::ui {

// The "pencil", "target" and "minus.circle" buttons of one device, made in `owner`. They act on
// `device`, the owner's own copy of the record, which the owner keeps current.
struct DeviceButtons {
    DeviceButtons(QWidget* owner, const routing::AudioDevice& device,
                  routing::AudioRoutingViewModel& model, RebuildGate& gate);
    // The remove button is enabled exactly when the model allows removing the device.
    void update(bool showRemove);

    DeviceIconButton* rename;
    DeviceIconButton* useOnly;
    DeviceIconButton* remove;

private:
    const routing::AudioDevice& device_;
    routing::AudioRoutingViewModel& model_;
};

// A device's row or section: its own copy of the record, its buttons, and the drop of dragged
// applications onto it. Dropped plain text is taken as bundle identifiers, one a line, each moved
// to this device in the order given; the identifiers are the model's to judge.
class DeviceView : public QWidget {
    Q_OBJECT
public:
    const routing::AudioDevice& device() const { return device_; }

protected:
    // `backgroundOpacity`: of the secondary colour behind the whole view; 0 for none.
    DeviceView(const routing::AudioDevice& device, routing::AudioRoutingViewModel& model,
               RebuildGate& gate, qreal backgroundOpacity, QWidget* parent);

    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

    // Takes `device` as the view's record and shows its symbol, name and name tooltip, and the
    // remove button when `showRemove`.
    void displayDevice(const routing::AudioDevice& device, SymbolView& icon, ElidedLabel& name,
                       bool showRemove);

    routing::AudioDevice device_;
    routing::AudioRoutingViewModel& model_;
    RebuildGate& gate_;
    DeviceButtons buttons_;

private:
    qreal backgroundOpacity_;
};

} // namespace sonarill::ui
