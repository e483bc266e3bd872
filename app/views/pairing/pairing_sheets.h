// The HTTP pairing sheet, the Bluetooth paired devices sheet and the remote devices sheet. They
// share one frame: a header (title over a caption), a scrolling form, a divider and a bottom bar
// whose "Done" (also Return) closes the sheet. Each widget draws its state class
// (pairing_sheet_states.h) and passes input on; the presenter builds a fresh sheet for every
// presentation, and the sheet deletes itself when closed.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QDialog>
#include <QPointer>
#include <QWidget>

#include "app/views/pairing/pairing_sheet_states.h"

class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QVBoxLayout;

namespace pavonix {

class ElidedLineLabel;

// The dark modules of a QR code (error correction M), row by row; `size` modules a side.
struct QRCodeModules {
    int size = 0;
    std::vector<bool> dark;

    bool at(int x, int y) const { return dark[static_cast<std::size_t>(y * size + x)]; }
};
// Nothing when the text does not fit into a QR code.
std::optional<QRCodeModules> makeQRCode(const std::string& text);

// A QR code drawn module by module on a white square that fills the view: modules of the largest
// whole number of device pixels that leaves a quiet zone of two modules around the code, so that
// it stays sharp at any size; a placeholder when the text cannot be encoded.
class QRCodeView : public QWidget {
public:
    explicit QRCodeView(QWidget* parent = nullptr);
    void setValue(const std::string& value);
    bool hasCode() const { return modules_.has_value(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<QRCodeModules> modules_;
};

// The frame the three sheets share.
class PairingSheetFrame : public QDialog {
    Q_OBJECT
public:
    PairingSheetFrame(const QString& title, const QString& caption, QSize size, QWidget* parent);

    // Asks to confirm a removal; `onClose(true)` after "Remove", `onClose(false)` after "Cancel"
    // or any other closing. The message is shown as written.
    void confirmRemoval(const QString& title, const QString& message, std::function<void(bool)> onClose);

protected:
    // One row of the sheet's list: a title over a detail line, and what its "Remove" does.
    struct ListRow {
        QString title;
        QString detail;
        std::function<void()> remove;
    };
    // Shows the rows in `list`, or `emptyText` when there are none. Once a row's "Remove" has
    // taken its row away, the keyboard moves on to the row now in its place (the last one when
    // it was last), or to `whenEmpty` (null: "Done") when none is left.
    void showRows(QVBoxLayout* list, std::vector<ListRow> rows, const QString& emptyText, QWidget* whenEmpty);

    // The form's column: sections are added here.
    QVBoxLayout* form() const { return form_; }
    // A titled group in the form; returns the group's own column.
    QVBoxLayout* addSection(const QString& title, const char* objectName);
    // Tab follows the form from top to bottom, then "Done"; called after every rebuild.
    void orderFocus();

private:
    QVBoxLayout* form_ = nullptr;
    QPushButton* done_ = nullptr;
    std::vector<QPushButton*> removeButtons_;
    // The row whose "Remove" was pressed, until its row is gone or the removal is called off.
    std::optional<std::size_t> removingRow_;
};

class HTTPPairedDevicesSheet : public PairingSheetFrame {
    Q_OBJECT
public:
    HTTPPairedDevicesSheet(PairingSheetsModel& model, SettingsStore& store, QWidget* parent = nullptr);

    HTTPPairingSheetState& state() { return state_; }
    // Puts the value on the clipboard, marked as a secret for clipboard managers.
    void copy(const std::string& value, const std::string& label);

private:
    void sync();
    void rebuildCredentials();
    void rebuildDevices();
    QWidget* credentialRow(const QString& label, const std::string& value, int lines);

    HTTPPairingSheetState state_;
    QLineEdit* name_ = nullptr;
    QPushButton* add_ = nullptr;
    QLabel* error_ = nullptr;
    QWidget* credentialsSection_ = nullptr;
    QVBoxLayout* credentials_ = nullptr;
    QVBoxLayout* devices_ = nullptr;
    std::optional<std::string> shownURL_;
    std::string shownSetupID_;
    bool shownCredentials_ = false;
    QLabel* copied_ = nullptr;
    std::optional<std::vector<HTTPPairedDevice>> shownDevices_;
};

class BluetoothPairedDevicesSheet : public PairingSheetFrame {
    Q_OBJECT
public:
    BluetoothPairedDevicesSheet(PairingSheetsModel& model, SettingsStore& store, QWidget* parent = nullptr);

    BluetoothPairedDevicesSheetState& state() { return state_; }

private:
    void rebuildDevices();

    BluetoothPairedDevicesSheetState state_;
    QVBoxLayout* devices_ = nullptr;
    std::optional<std::vector<BluetoothPairedDevice>> shownDevices_;
};

class RemoteLanternpostDevicesSheet : public PairingSheetFrame {
    Q_OBJECT
public:
    RemoteLanternpostDevicesSheet(PairingSheetsModel& model, SettingsStore& store, QWidget* parent = nullptr);

    RemoteDevicesSheetState& state() { return state_; }

private:
    void sync();
    void rebuildTargets();

    RemoteDevicesSheetState state_;
    QLineEdit* name_ = nullptr;
    QLineEdit* url_ = nullptr;
    ElidedLineLabel* preview_ = nullptr;
    QPushButton* add_ = nullptr;
    QLabel* error_ = nullptr;
    QVBoxLayout* targets_ = nullptr;
    std::optional<std::vector<RemoteLanternpostTarget>> shownTargets_;
};

}  // namespace pavonix
