#pragma once

#include "routing/AudioRoutingViewModel.h"
#include "ui/RebuildGate.h"

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace sonarill::ui {

// Asks for a device's custom name: "Save" sets the typed text, "Use System Name" clears the
// custom name, "Cancel", closing the dialog or quitting the application changes nothing.
class OutputDeviceRenameDialog : public QDialog {
    Q_OBJECT
public:
    // The dialog's results; anything that ends it without a button counts as cancel.
    enum Choice { cancel = QDialog::Rejected, save = QDialog::Accepted, useSystemName };

    // Runs the dialog modally for a copy of `device` and applies the answer to the model. Holds
    // `gate` meanwhile, so the row that opened it stays in place.
    static void present(const routing::AudioDevice& device, routing::AudioRoutingViewModel& model,
                        RebuildGate& gate, QWidget* parent = nullptr);

    explicit OutputDeviceRenameDialog(const routing::AudioDevice& device,
                                      QWidget* parent = nullptr);
    QLineEdit* nameField() const { return field_; }
    QPushButton* button(Choice choice) const;

private:
    QLineEdit* field_;
    QPushButton* save_;
    QPushButton* useSystemName_;
    QPushButton* cancel_;
};

} // namespace sonarill::ui
