#include "app/views/settings/lanternpost_settings_view.h"

#include <algorithm>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "app/settings/settings_keys.h"
#include "app/views/controls/control_icons.h"
#include "app/views/settings/listen_view.h"
#include "app/views/settings/settings_form.h"
#include "app/views/welcome/bridge_server_status_badge.h"

namespace pavonix {

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

// A form tab: its sections one under the other at the top, scrolling when taller than the window.
QScrollArea* formTab(QWidget* parent, QVBoxLayout*& sections) {
    auto* scroll = new QScrollArea(parent);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setFocusPolicy(Qt::NoFocus);  // Tab goes from the tab bar straight to the first field
    auto* content = new QWidget(scroll);
    sections = new QVBoxLayout(content);
    sections->setContentsMargins(8, 6, 8, 6);
    sections->setSpacing(10);
    scroll->setWidget(content);
    return scroll;
}

QLabel* unreadablePairingsCaption(const char* objectName, QWidget* parent) {
    QLabel* label = secondaryCaption(QString(), parent);
    label->setObjectName(objectName);
    setCaptionWarning(label, true);
    return label;
}

// Shows the text, or hides the label while there is none.
void showIfAny(QLabel* label, const std::string& text) {
    label->setText(QString::fromStdString(text));
    label->setVisible(!text.empty());
}

QFont scaled(QFont font, double factor, bool bold = false) {
    font.setPointSizeF(font.pointSizeF() * factor);
    font.setBold(bold);
    return font;
}

}  // namespace

LanternpostSettingsView::LanternpostSettingsView(SettingsWindowModel& model, SettingsStore& store,
                                                 std::function<void()> openMainWindow, AppInfo info, QWidget* parent)
    : QWidget(parent),
      state_(model, store, std::move(openMainWindow)),
      pavonixName_(settings::pavonixName, store),
      httpAuthenticationEnabled_(settings::httpAuthenticationEnabled, store),
      bluetoothEnabled_(settings::bluetoothEnabled, store),
      bluetoothDiscoverable_(settings::bluetoothDiscoverable, store) {
    setObjectName("settingsView");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    // Above the tabs, so that it is seen whichever tab opens.
    storageNotice_ = secondaryCaption(QString(), this);
    storageNotice_->setObjectName("storageNotice");
    storageNotice_->setContentsMargins(12, 8, 12, 8);
    storageNotice_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    setCaptionWarning(storageNotice_, true);
    layout->addWidget(storageNotice_);
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("settingsTabs");
    tabs_->setDocumentMode(true);
    const QColor iconColor = palette().color(QPalette::WindowText);
    tabs_->addTab(buildNetworkTab(), symbolIcon("network", iconColor, 16), tr("Network"));
    tabs_->addTab(buildBluetoothTab(), symbolIcon("antenna.radiowaves.left.and.right", iconColor, 16), tr("Bluetooth"));
    tabs_->addTab(buildAboutTab(info), symbolIcon("info.circle", iconColor, 16), tr("About"));
    // The Bluetooth tab's fields start where the Network tab's do.
    alignLabelColumns(tabs_);
    layout->addWidget(tabs_);
    // Wherever the keyboard is: a text field or a picker would otherwise keep the keys to itself.
    for (const auto& [keys, by] : {std::pair{QKeySequence(Qt::CTRL | Qt::Key_Tab), 1},
                                   std::pair{QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab), -1}}) {
        auto* shortcut = new QShortcut(keys, this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, [this, step = by] {
            tabs_->setCurrentIndex((tabs_->currentIndex() + step + tabs_->count()) % tabs_->count());
        });
    }

    for (auto* notifier : {httpAuthenticationEnabled_.notifier(), bluetoothEnabled_.notifier(),
                           bluetoothDiscoverable_.notifier()}) {
        connect(notifier, &SettingNotifier::changed, this, &LanternpostSettingsView::sync);
    }
    // Counts, and the values an open reference sheet shows.
    const auto resync = [this](const auto&) { sync(); };
    watched_.push_back(store.observe(settings::httpPairedDevices, resync));
    watched_.push_back(store.observe(settings::bluetoothPairedDevices, resync));
    watched_.push_back(store.observe(settings::oscPort, resync));
    watched_.push_back(store.observe(settings::httpPort, resync));
    watched_.push_back(store.observe(settings::listenAddressMode, resync));
    watched_.push_back(store.observe(settings::selectedListenAddress, resync));
    observations_.push_back(model.availableInterfaces().observe(resync));
    observations_.push_back(model.storageNotices().observe(resync));
    observations_.push_back(model.bluetoothStatus().observe([this](const auto& status) {
        bluetoothBadge_->setStatus(status);
        bluetoothFooter_->setText(qs(state_.bluetoothFooter()));
    }));
    sync();
}

LanternpostSettingsView::~LanternpostSettingsView() { delete apiReference_.data(); }

QWidget* LanternpostSettingsView::buildNetworkTab() {
    QVBoxLayout* sections = nullptr;
    auto* tab = formTab(this, sections);
    networkPage_ = tab;
    QWidget* content = tab->widget();

    auto* identity = new FormSection(tr("Identity"), content);
    auto* name = new QLineEdit(identity);
    name->setObjectName("pavonixName");
    name->setPlaceholderText(qs(state_.model().defaultPavonixName()));
    name->setMaximumWidth(260);
    name->setAccessibleName(tr("Pavonix Name"));
    bindText(pavonixName_, name);
    identity->addRow(tr("Pavonix Name"), name);
    identity->addRow(secondaryCaption(qs(state_.identityFooter()), identity));
    sections->addWidget(identity);

    listen_ = new ListenView(state_.model(), state_.store(), [this](APIReferenceKind kind) { presentAPIReference(kind); },
                             content);
    sections->addWidget(listen_);

    auto* authentication = new FormSection(tr("HTTP Authentication"), content);
    auto* require = new QCheckBox(tr("Require Paired Devices"), authentication);
    require->setObjectName("requirePairedDevices");
    bindCheckable(httpAuthenticationEnabled_, require);
    authentication->addRow(require);
    authentication->addRow(tr("Paired Devices"),
                           pairedDevicesRow(httpPairedCount_, "manageHTTPPairings", &httpPairingSheet_, authentication));
    httpUnreadable_ = unreadablePairingsCaption("httpUnreadablePairings", authentication);
    authentication->addRow(httpUnreadable_);
    httpFooter_ = secondaryCaption(QString(), authentication);
    authentication->addRow(httpFooter_);
    httpKeychain_ = secondaryCaption(QString(), authentication);
    httpKeychain_->setObjectName("httpKeychain");
    authentication->addRow(httpKeychain_);
    sections->addWidget(authentication);
    sections->addStretch(1);
    return tab;
}

QWidget* LanternpostSettingsView::buildBluetoothTab() {
    QVBoxLayout* sections = nullptr;
    auto* tab = formTab(this, sections);
    auto* section = new FormSection(tr("Bluetooth"), tab->widget());
    auto* enabled = new QCheckBox(tr("Bluetooth"), section);
    enabled->setObjectName("bluetoothEnabled");
    bindCheckable(bluetoothEnabled_, enabled);
    section->addRow(enabled);
    discoverable_ = new QCheckBox(tr("Discoverable"), section);
    discoverable_->setObjectName("bluetoothDiscoverable");
    bindCheckable(bluetoothDiscoverable_, discoverable_);
    section->addRow(discoverable_);
    bluetoothBadge_ = new BridgeServerStatusBadge(state_.model().bluetoothStatus().get(), section);
    bluetoothBadge_->setObjectName("bluetoothStatus");
    section->addRow(tr("Status"), bluetoothBadge_);
    section->addRow(tr("Paired Devices"), pairedDevicesRow(bluetoothPairedCount_, "manageBluetoothPairings",
                                                           &bluetoothPairingSheet_, section));
    bluetoothUnreadable_ = unreadablePairingsCaption("bluetoothUnreadablePairings", section);
    section->addRow(bluetoothUnreadable_);
    bluetoothFooter_ = secondaryCaption(QString(), section);
    bluetoothFooter_->setObjectName("bluetoothFooter");
    section->addRow(bluetoothFooter_);
    bluetoothKeychain_ = secondaryCaption(QString(), section);
    bluetoothKeychain_->setObjectName("bluetoothKeychain");
    section->addRow(bluetoothKeychain_);
    sections->addWidget(section);
    sections->addStretch(1);
    return tab;
}

QWidget* LanternpostSettingsView::pairedDevicesRow(QLabel*& count, const char* objectName, const SheetFactory* factory,
                                                   QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    count = secondaryCaption(QStringLiteral("0"), row);
    count->setFont(font());
    layout->addWidget(count);
    auto* manage = new QPushButton(tr("Manage..."), row);
    manage->setObjectName(objectName);
    connect(manage, &QPushButton::clicked, this, [this, factory] { presentSheet(*factory); });
    layout->addWidget(manage);
    layout->addStretch(1);
    return row;
}

QWidget* LanternpostSettingsView::buildAboutTab(const AppInfo& info) {
    auto* tab = new QWidget(this);
    auto* layout = new QVBoxLayout(tab);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* header = new QVBoxLayout;
    header->setContentsMargins(44, 44, 44, 0);
    header->setSpacing(12);
    auto* icon = new QLabel(tab);
    icon->setPixmap(programIcon().pixmap(192, 192));
    icon->setFixedSize(96, 96);
    icon->setScaledContents(true);
    header->addWidget(icon, 0, Qt::AlignHCenter);
    QLabel* name = plainLabel(qs(info.displayNameOrDefault()), tab);
    name->setObjectName("appName");
    name->setFont(scaled(font(), 1.6, true));
    header->addWidget(name, 0, Qt::AlignHCenter);
    auto* summary =
        secondaryCaption(tr("Bridge presentation controls across OSC, HTTP, Bluetooth, and remote Pavonix clients."), tab);
    summary->setFont(scaled(font(), 1.1, true));
    summary->setAlignment(Qt::AlignHCenter);
    header->addWidget(summary);
    header->addSpacing(8);
    auto* versions = new QHBoxLayout;
    versions->addStretch(1);
    for (const QString& text : {tr("Version ") + qs(info.versionOrDefault()), tr("Build ") + qs(info.buildOrDefault())}) {
        auto* label = secondaryCaption(text, tab);
        label->setWordWrap(false);
        versions->addWidget(label);
    }
    versions->addStretch(1);
    header->addLayout(versions);
    layout->addLayout(header);
    layout->addStretch(1);

    auto* line = new QFrame(tab);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    layout->addWidget(line);
    auto* bottom = new QHBoxLayout;
    bottom->setContentsMargins(20, 0, 20, 12);
    auto* reset = new QPushButton(tr("Reset Onboarding"), tab);
    reset->setObjectName("resetOnboarding");
    connect(reset, &QPushButton::clicked, this, [this] { state_.resetOnboarding(); });
    bottom->addWidget(reset);
    bottom->addStretch(1);
    layout->addLayout(bottom);
    return tab;
}

void LanternpostSettingsView::presentSheet(const SheetFactory& factory) {
    QDialog* sheet = factory ? factory(window()) : nullptr;
    if (!sheet) return;
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->show();
}

void LanternpostSettingsView::presentAPIReference(APIReferenceKind kind) {
    delete apiReference_.data();
    apiReference_ = new APIReferenceView(state_.apiReference(kind), window());
    apiReference_->setAttribute(Qt::WA_DeleteOnClose);
    apiReference_->show();
}

void LanternpostSettingsView::sync() {
    const auto footer = state_.httpAuthenticationFooter();
    httpFooter_->setText(qs(footer.text));
    setCaptionWarning(httpFooter_, footer.warning);
    httpPairedCount_->setText(QString::number(state_.httpPairedDeviceCount()));
    bluetoothPairedCount_->setText(QString::number(state_.bluetoothPairedDeviceCount()));
    discoverable_->setEnabled(state_.discoverableEditable());
    bluetoothFooter_->setText(qs(state_.bluetoothFooter()));
    const auto keychain = state_.keychainLine();
    for (QLabel* line : {httpKeychain_, bluetoothKeychain_}) {
        line->setText(qs(keychain.text));
        setCaptionWarning(line, keychain.warning);
    }
    std::string storage;
    for (const auto& line : state_.storageLines()) storage += (storage.empty() ? "" : "\n") + line;
    showIfAny(storageNotice_, storage);
    showIfAny(httpUnreadable_, state_.unreadableHTTPPairingsLine());
    showIfAny(bluetoothUnreadable_, state_.unreadableBluetoothPairingsLine());
    if (apiReference_) apiReference_->setReference(state_.apiReference(apiReference_->reference().kind));
}

void LanternpostSettingsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    bounds_.applyWindowConstraints(window());
    if (!placed_ && window() != this) {
        placed_ = true;
        fitContent();
        placeOnScreen(window());
        // Laid out only once it is mapped: measure again then.
        QTimer::singleShot(0, this, [this] {
            fitContent();
            keepOnScreen(window());
        });
    }
}

void LanternpostSettingsView::fitContent() {
    // The Network tab is the tallest; it holds the only way to the HTTP pairing sheet at its foot.
    QWidget* form = networkPage_->widget();
    // At the width it has without a scroll bar; the scroll area gives it no less than its
    // minimum, which wrapped captions can make the taller of the two.
    const int width = networkPage_->width() - 2 * networkPage_->frameWidth();
    const int needed = std::max(form->hasHeightForWidth() ? form->heightForWidth(width) : form->sizeHint().height(),
                                form->minimumSizeHint().height());
    QWidget* top = window();
    const int height = top->height() + needed - networkPage_->viewport()->height();
    bounds_.maximumHeight = std::max(windowBounds.maximumHeight, height);
    top->resize(windowBounds.width, height);
    bounds_.applyWindowConstraints(top);
}

}  // namespace pavonix
