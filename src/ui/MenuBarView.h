#pragma once

#include "routing/AudioRoutingViewModel.h"
#include "ui/DeviceSectionView.h"
#include "ui/InactiveDeviceRow.h"
#include "ui/KeyedWidgets.h"
#include "ui/RebuildGate.h"

#include <QWidget>

class QScrollArea;

namespace sonarill::ui {

// The popover's content: a header, one section for each device in use with its applications,
// the devices not in use, and the "Settings…" and "Quit" rows. It follows the model: every change
// is shown on the next turn of the event loop, rows updated in place by device UID and bundle
// identifier.
class MenuBarView : public QWidget {
    Q_OBJECT
public:
    explicit MenuBarView(routing::AudioRoutingViewModel& model, QWidget* parent = nullptr);
    ~MenuBarView() override;

    // Brings the rows up to date with the model now. While a slider is pressed, a drag runs or
    // the rename dialog is open, only values are updated; the rest waits until that ends.
    void refresh();

signals:
    void settingsRequested();
    void quitRequested();

private:
    void scheduleRefresh();

    routing::AudioRoutingViewModel& model_;
    RebuildGate gate_;
    routing::AudioRoutingViewModel::Observation observation_;
    QScrollArea* scroll_;
    QWidget* inactiveDivider_;
    KeyedWidgets<DeviceSectionView> sections_;
    KeyedWidgets<InactiveDeviceRow> inactiveRows_;
    bool refreshScheduled_ = false;
    bool refreshWaiting_ = false;
};

} // namespace sonarill::ui
