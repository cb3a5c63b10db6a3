#include "ui/SettingsView.h"

#include "log/DebugLog.h"
#include "platform/NotificationCenter.h"
#include "platform/qt/FileOpener.h"
#include "platform/qt/LoginItem.h"
#include "platform/qt/Preferences.h"
#include "routing/AudioRoutingViewModel.h"
#include "ui/Controls.h"
#include "ui/Theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include <filesystem>
#include <iostream>
#include <system_error>

namespace sonarill::ui {

namespace {

constexpr int kWidth = 440;
constexpr int kHeight = 420;

// A rounded group of rows with dividers between them, under a section title.
class FormSection : public QWidget {
public:
    FormSection(const QString& title, QVBoxLayout* form) : rows_(new QVBoxLayout) {
        QFont bold;
        bold.setBold(true);
        auto* heading = new ElidedLabel(bold, Tint::secondary);
        heading->setObjectName(QStringLiteral("heading"));
        heading->setText(title);
        heading->setContentsMargins(8, 0, 0, 0);
        form->addWidget(heading);
        form->addWidget(this);
        setLayout(rows_);
        rows_->setContentsMargins(12, 4, 12, 4);
        rows_->setSpacing(0);
    }

    void addRow(QWidget* left, QWidget* right = nullptr) {
        if (rows_->count() > 0)
            rows_->addWidget(new Divider);
        auto* row = new QHBoxLayout;
        row->setContentsMargins(0, 6, 0, 6);
        row->addWidget(left);
        row->addStretch();
        if (right != nullptr)
            row->addWidget(right);
        rows_->addLayout(row);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(tintColor(palette(), Tint::primary, 0.1));
        painter.setBrush(tintColor(palette(), Tint::primary, 0.04));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    }

private:
    QVBoxLayout* rows_;
};

// Some styles draw push buttons tight around their text; give the text room on every platform.
QPushButton* formButton(const QString& title, const QString& name) {
    auto* button = new QPushButton(title);
    button->setObjectName(name);
    button->setMinimumSize(button->sizeHint() + QSize(20, 4));
    return button;
}

std::optional<std::filesystem::path> configPath() {
    return routing::defaultConfigPath();
}

} // namespace

ToggleSwitch::ToggleSwitch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
}

QSize ToggleSwitch::sizeHint() const {
    return {32, 18};
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
    const qreal radius = track.height() / 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(isChecked() ? tintColor(palette(), Tint::accent)
                                 : tintColor(palette(), Tint::primary, 0.15));
    painter.drawRoundedRect(track, radius, radius);
    const qreal knob = track.height() - 3;
    const qreal x = isChecked() ? track.right() - knob - 1.5 : track.left() + 1.5;
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(x, track.top() + 1.5, knob, knob));
}

SettingsView::SettingsView(QWidget* parent) : QWidget(parent) {
    setFixedSize(kWidth, kHeight);

    auto* form = new QVBoxLayout(this);
    form->setContentsMargins(20, 20, 20, 20);
    form->setSpacing(8);

    auto* general = new FormSection(QStringLiteral("General"), form);
    auto* toggle = new ToggleSwitch;
    toggle->setObjectName(QStringLiteral("startAtLogin"));
    toggle->setAccessibleName(QStringLiteral("Start Sonarill at login"));
    toggle->setChecked(platform::autoStartEnabled());
    general->addRow(new QLabel(QStringLiteral("Start Sonarill at login")), toggle);
    // Only a change by the user reaches the login item; showing the view calls nothing.
    connect(toggle, &QAbstractButton::toggled, this, [](bool enabled) {
        platform::setAutoStartEnabled(enabled);
        setLoginItem(enabled);
    });

    form->addSpacing(12);
    auto* configuration = new FormSection(QStringLiteral("Configuration"), form);
    auto* open = formButton(QStringLiteral("Open Config File"), QStringLiteral("openConfig"));
    auto* reset = formButton(QStringLiteral("Reset to Defaults"), QStringLiteral("reset"));
    configuration->addRow(open);
    configuration->addRow(reset);
    connect(open, &QPushButton::clicked, this, [] { openConfigFile(); });
    connect(reset, &QPushButton::clicked, this, [] { resetDefaults(); });

    form->addSpacing(12);
    auto* about = new FormSection(QStringLiteral("About"), form);
    auto* version = new ElidedLabel(QFont(), Tint::secondary);
    version->setObjectName(QStringLiteral("version"));
    version->setText(QStringLiteral("Sonarill v2.0.0"));
    about->addRow(version);
    form->addStretch();
}

void SettingsView::setLoginItem(bool enabled) {
    const base::Expected<void> done = platform::setLoginItemEnabled(enabled);
    // Not a line of the diagnostic log: the login item only ever reports here.
    if (!done)
        std::cout << "Failed to update login item: " << done.error() << '\n' << std::flush;
}

void SettingsView::openConfigFile() {
    if (const std::optional<std::filesystem::path> path = configPath())
        platform::openInDefaultApplication(*path);
}

void SettingsView::resetDefaults() {
    if (const std::optional<std::filesystem::path> path = configPath()) {
        std::error_code error;
        std::filesystem::remove(*path, error);
        if (error) {
            DebugLog::log("resetDefaults: ERROR removing config file: " + error.message());
            return;
        }
    }
    platform::NotificationCenter::defaultCenter().post(platform::kResetConfigNotification);
    DebugLog::log("resetDefaults: cleared config file and requested in-memory reset");
}

} // namespace sonarill::ui
