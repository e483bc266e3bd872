// The listen pane: the "Network", "OSC" and "HTTP" sections of the settings window's Network tab,
// one under the other.
// The widget only shows ListenViewState and the model's statuses and passes user input on; the
// settings window restarts the servers when the settings change.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QWidget>

#include "app/model/observable_value.h"
#include "app/views/bindings/setting_binding.h"
#include "app/views/settings/api_reference.h"
#include "app/views/settings/listen_view_state.h"

class QAbstractButton;
class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace pavonix {

class BridgeServerStatusBadge;
class FormSection;
class PortField;

class ListenView : public QWidget {
    Q_OBJECT
public:
    // Opens a URL; by default through the desktop's browser.
    using URLOpener = std::function<void(const std::string& url)>;

    // The model and the store must outlive the view. `presentAPIReference` asks the host for the
    // reference sheet of a kind.
    ListenView(SettingsWindowModel& model, SettingsStore& store,
               std::function<void(APIReferenceKind)> presentAPIReference, QWidget* parent = nullptr);
    ~ListenView() override;

    const ListenViewState& state() const { return state_; }
    void setURLOpener(URLOpener opener) { openURL_ = std::move(opener); }

    QComboBox* picker() const { return picker_; }
    QWidget* availableInterfacesRow() const { return interfacesRow_; }
    PortField* oscPortField() const { return oscPort_; }
    PortField* httpPortField() const { return httpPort_; }
    BridgeServerStatusBadge* oscStatusBadge() const { return oscBadge_; }
    BridgeServerStatusBadge* httpStatusBadge() const { return httpBadge_; }
    QPushButton* webControlButton() const { return webControl_; }
    QAbstractButton* referenceButton(APIReferenceKind kind) const;

private:
    FormSection* buildServerSection(APIReferenceKind kind);
    void sync();
    void syncPicker();
    void syncInterfaces();

    SettingsWindowModel& model_;
    ListenViewState state_;
    std::function<void(APIReferenceKind)> presentAPIReference_;
    URLOpener openURL_;

    SettingBinding<bool> oscEnabled_;
    SettingBinding<std::int64_t> oscPortSetting_;
    SettingBinding<bool> httpEnabled_;
    SettingBinding<std::int64_t> httpPortSetting_;
    SettingBinding<network::NetworkListenMode> listenAddressMode_;
    SettingBinding<std::string> selectedListenAddress_;
    std::vector<Observation> observations_;

    QFormLayout* networkForm_ = nullptr;
    QComboBox* picker_ = nullptr;
    QWidget* interfacesRow_ = nullptr;
    QVBoxLayout* interfaceLines_ = nullptr;
    PortField* oscPort_ = nullptr;
    PortField* httpPort_ = nullptr;
    BridgeServerStatusBadge* oscBadge_ = nullptr;
    BridgeServerStatusBadge* httpBadge_ = nullptr;
    QAbstractButton* oscReference_ = nullptr;
    QAbstractButton* httpReference_ = nullptr;
    QPushButton* webControl_ = nullptr;
};

}  // namespace pavonix
