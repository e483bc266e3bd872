// The controls view: the form of the main window from which the presenter chooses a target
// (a local presentation application or another Pavonix) and drives it. The widget only shows
// ControlsViewState and passes user input to it.
#pragma once

#include <functional>
#include <memory>

#include <QComboBox>
#include <QLabel>
#include <QWidget>

#include "app/views/controls/controls_view_state.h"

class QGroupBox;
class QLineEdit;
class QPushButton;
class QShortcut;
class QToolButton;
class QDialog;

namespace pavonix {

class NavigationTabDefocusMonitor;

// A combo box that leaves the mouse wheel to the scroll area around it, so that scrolling the
// form never changes a slide, a window or a target by accident.
class NoWheelComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;

protected:
    void wheelEvent(QWheelEvent* event) override;
};

// At most `maxLines` lines (wrapped at word boundaries, else anywhere), elided in the middle;
// "Copy" (context menu or Ctrl+C) copies the whole text.
class ElidedLineLabel : public QLabel {
public:
    explicit ElidedLineLabel(QWidget* parent = nullptr, int maxLines = 1);
    void setFullText(const QString& text);
    const QString& fullText() const { return fullText_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void relayout();
    QString fullText_;
    int maxLines_ = 1;
};

class ControlsView : public QWidget {
    Q_OBJECT
public:
    // The model and the store must outlive the view.
    ControlsView(ControlsModel& model, SettingsStore& store, bool isActive, NotificationCenter& notifications,
                 QWidget* parent = nullptr);
    ~ControlsView() override;

    ControlsViewState& state() { return *state_; }
    // Builds the remote devices sheet; without one, "Manage Remote Devices..." does nothing.
    void setRemoteDevicesSheetFactory(std::function<QDialog*(QWidget* parent)> factory);

    // Brings every widget in line with the state (run after each state change).
    void sync();

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void build();
    void buildTargetSection(QGroupBox* section);
    void buildCommandSection(QGroupBox* section);
    void buildNavigationSection(QGroupBox* section);
    QWidget* buildResultBar();
    void buildShortcuts();
    void syncTargetMenu();
    void syncWindowPicker();
    void syncSlidePicker();
    void syncButtons();
    void focusChanged(QWidget* now);
    void presentRemoteDevices();

    std::unique_ptr<ControlsViewState> state_;
    std::function<QDialog*(QWidget*)> remoteDevicesSheetFactory_;
    QMetaObject::Connection focusConnection_;
    QString targetMenuSignature_;
    QString windowPickerSignature_;
    QString slidePickerSignature_;

    QPushButton* targetMenuButton_ = nullptr;
    QLabel* statusIcon_ = nullptr;
    QWidget* addressEditor_ = nullptr;
    QLineEdit* hostEdit_ = nullptr;
    QLineEdit* portEdit_ = nullptr;
    QToolButton* saveAddressButton_ = nullptr;
    QLabel* addressWarning_ = nullptr;
    QWidget* windowSection_ = nullptr;
    NoWheelComboBox* windowPicker_ = nullptr;
    QToolButton* refreshWindowsButton_ = nullptr;
    struct CommandButton {
        QPushButton* button = nullptr;
        const char* symbol = "";
        ControlColor color = ControlColor::accent;
        bool circular = true;
    };
    std::vector<CommandButton> commandButtons_;
    QGroupBox* navigationSection_ = nullptr;
    QWidget* goToSlideRow_ = nullptr;
    NoWheelComboBox* slidePicker_ = nullptr;
    ElidedLineLabel* slideListMessage_ = nullptr;
    QLineEdit* slideNumberEdit_ = nullptr;
    QPushButton* slideNumberGo_ = nullptr;
    QWidget* slideNameRow_ = nullptr;
    QLineEdit* slideNameEdit_ = nullptr;
    QPushButton* slideNameGo_ = nullptr;
    // Above the result line, whole and wrapped, while a storage problem stands.
    QLabel* storageNotice_ = nullptr;
    ElidedLineLabel* resultLine_ = nullptr;
    std::vector<std::pair<ControlShortcut, QShortcut*>> shortcuts_;
    NavigationTabDefocusMonitor* tabMonitor_ = nullptr;
};

}  // namespace pavonix
