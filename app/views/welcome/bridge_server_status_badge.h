// The state of one bridge server (OSC, HTTP or Bluetooth) wherever a server is listed: a dot in
// the state's colour and the server's own detail text. Screen readers get one element, "Running: "
// followed by the detail.
#pragma once

#include <string>
#include <string_view>

#include <QColor>
#include <QWidget>

#include "app/core/bridge_server_status.h"

namespace pavonix {

// "Stopped", "Starting", "Running", "Failed".
std::string_view badgeStateWord(BridgeServerStatus::State state);
// The state word, ": " and the detail.
std::string badgeAccessibilityLabel(const BridgeServerStatus& status);
// Stopped the palette's secondary text colour; starting orange, running green, failed red.
QColor badgeColor(BridgeServerStatus::State state, const QPalette& palette);

class BridgeServerStatusBadge : public QWidget {
    Q_OBJECT
public:
    static constexpr int dotSize = 8;
    static constexpr int spacing = 6;
    static constexpr int failedLineLimit = 3;

    explicit BridgeServerStatusBadge(const BridgeServerStatus& status = BridgeServerStatus::stopped(),
                                     QWidget* parent = nullptr);

    const BridgeServerStatus& status() const { return status_; }
    void setStatus(const BridgeServerStatus& status);

    // The lines of detail as drawn at the current width: one line elided in the middle, or, when
    // failed, up to three wrapped lines with the last elided at its end.
    QStringList visibleLines() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QStringList linesFor(int textWidth) const;
    QFont detailFont() const;

    BridgeServerStatus status_;
};

}  // namespace pavonix
