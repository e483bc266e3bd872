// The settings window's content: the Network, Bluetooth and About tabs. The widget only shows
// LanternpostSettingsState and the model's statuses and passes user input on; the state's change
// handlers restart the servers for as long as this view exists.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QPointer>
#include <QWidget>

#include "app/views/bindings/setting_binding.h"
#include "app/views/settings/api_reference_view.h"
#include "app/views/settings/lanternpost_settings_state.h"
#include "app/views/settings/settings_window_configurator.h"

class QCheckBox;
class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QTabWidget;

namespace pavonix {

class BridgeServerStatusBadge;
class FormSection;
class ListenView;

class LanternpostSettingsView : public QWidget {
    Q_OBJECT
public:
    // The window grows past the greatest height where the Network tab needs more (larger fonts,
    // a notice above the tabs), within the screen.
    static constexpr SettingsWindowConfigurator windowBounds{500, 500, 700};

    using SheetFactory = std::function<QDialog*(QWidget* parent)>;

    // The model and the store must outlive the view. `openMainWindow` shows the main window and
    // brings the program to the front ("Reset Onboarding").
    LanternpostSettingsView(SettingsWindowModel& model, SettingsStore& store, std::function<void()> openMainWindow,
                            AppInfo info = {}, QWidget* parent = nullptr);
    ~LanternpostSettingsView() override;

    LanternpostSettingsState& state() { return state_; }
    QTabWidget* tabs() const { return tabs_; }
    ListenView* listenView() const { return listen_; }

    // Build the pairing sheets; without one, that "Manage..." does nothing.
    void setHTTPPairingSheetFactory(SheetFactory factory) { httpPairingSheet_ = std::move(factory); }
    void setBluetoothPairingSheetFactory(SheetFactory factory) { bluetoothPairingSheet_ = std::move(factory); }

    // Presents a fresh reference sheet of that kind, in place of one on show.
    void presentAPIReference(APIReferenceKind kind);
    // The reference sheet on show; null when none is.
    APIReferenceView* apiReferenceSheet() const { return apiReference_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildNetworkTab();
    QWidget* buildBluetoothTab();
    QWidget* buildAboutTab(const AppInfo& info);
    QWidget* pairedDevicesRow(QLabel*& count, const char* objectName, const SheetFactory* factory, QWidget* parent);
    void presentSheet(const SheetFactory& factory);
    void sync();
    // Makes the window as tall as the Network tab needs, within the screen.
    void fitContent();

    LanternpostSettingsState state_;
    SettingBinding<std::string> pavonixName_;
    SettingBinding<bool> httpAuthenticationEnabled_;
    SettingBinding<bool> bluetoothEnabled_;
    SettingBinding<bool> bluetoothDiscoverable_;
    std::vector<SettingsStore::Subscription> watched_;
    std::vector<Observation> observations_;
    SheetFactory httpPairingSheet_;
    SheetFactory bluetoothPairingSheet_;
    bool placed_ = false;
    SettingsWindowConfigurator bounds_ = windowBounds;

    QLabel* storageNotice_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    QScrollArea* networkPage_ = nullptr;
    ListenView* listen_ = nullptr;
    QLabel* httpPairedCount_ = nullptr;
    QLabel* httpUnreadable_ = nullptr;
    QLabel* httpFooter_ = nullptr;
    QCheckBox* discoverable_ = nullptr;
    BridgeServerStatusBadge* bluetoothBadge_ = nullptr;
    QLabel* bluetoothPairedCount_ = nullptr;
    QLabel* bluetoothUnreadable_ = nullptr;
    QLabel* bluetoothFooter_ = nullptr;
    // "Pairing secrets: ..." in the HTTP and the Bluetooth sections.
    QLabel* httpKeychain_ = nullptr;
    QLabel* bluetoothKeychain_ = nullptr;
    QPointer<APIReferenceView> apiReference_;
};

}  // namespace pavonix
