#include "app/views/settings/listen_view.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/settings/settings_keys.h"
#include "app/views/controls/control_icons.h"
#include "app/views/controls/controls_view.h"
#include "app/views/settings/settings_form.h"
#include "app/views/welcome/bridge_server_status_badge.h"

namespace pavonix {

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }
QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

void openWithDesktop(const std::string& url) { QDesktopServices::openUrl(QUrl(qs(url))); }

}  // namespace

ListenView::ListenView(SettingsWindowModel& model, SettingsStore& store,
                       std::function<void(APIReferenceKind)> presentAPIReference, QWidget* parent)
    : QWidget(parent),
      model_(model),
      state_(model, store),
      presentAPIReference_(std::move(presentAPIReference)),
      openURL_(openWithDesktop),
      oscEnabled_(settings::oscEnabled, store),
      oscPortSetting_(settings::oscPort, store),
      httpEnabled_(settings::httpEnabled, store),
      httpPortSetting_(settings::httpPort, store),
      listenAddressMode_(settings::listenAddressMode, store),
      selectedListenAddress_(settings::selectedListenAddress, store) {
    setObjectName("listen");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);

    auto* network = new FormSection(tr("Network"), this);
    picker_ = new NoWheelComboBox(network);
    picker_->setObjectName("listenOn");
    picker_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    picker_->setMinimumContentsLength(16);
    network->addRow(tr("Listen On"), picker_);
    connect(picker_, &QComboBox::activated, this,
            [this](int index) { state_.select(picker_->itemData(index).toString().toStdString()); });
    interfacesRow_ = new QWidget(network);
    interfaceLines_ = new QVBoxLayout(interfacesRow_);
    interfaceLines_->setContentsMargins(0, 0, 0, 0);
    interfaceLines_->setSpacing(4);
    network->addRow(tr("Available Interfaces"), interfacesRow_);
    networkForm_ = network->form();
    layout->addWidget(network);

    layout->addWidget(buildServerSection(APIReferenceKind::osc));
    auto* http = buildServerSection(APIReferenceKind::http);
    auto* webRow = new QWidget(http);
    auto* web = new QHBoxLayout(webRow);
    web->setContentsMargins(0, 0, 0, 0);
    web->addWidget(new QLabel(tr("Web Control"), webRow));
    web->addStretch(1);
    webControl_ = new QPushButton(QStringLiteral("Open\u2026"), webRow);
    webControl_->setObjectName("openWebControl");
    webControl_->setToolTip(tr("Open HTTP controls in your default web browser"));
    connect(webControl_, &QPushButton::clicked, this, [this] {
        if (auto url = state_.webControlURL(); url && openURL_) openURL_(*url);
    });
    web->addWidget(webControl_);
    http->addRow(webRow);
    layout->addWidget(http);

    for (auto* notifier : {oscEnabled_.notifier(), oscPortSetting_.notifier(), httpEnabled_.notifier(),
                           httpPortSetting_.notifier(), listenAddressMode_.notifier(), selectedListenAddress_.notifier()}) {
        connect(notifier, &SettingNotifier::changed, this, &ListenView::sync);
    }
    observations_.push_back(model_.availableInterfaces().observe([this](const auto&) { sync(); }));
    observations_.push_back(model_.oscStatus().observe([this](const auto& status) { oscBadge_->setStatus(status); }));
    observations_.push_back(model_.httpStatus().observe([this](const auto& status) { httpBadge_->setStatus(status); }));
    sync();
}

ListenView::~ListenView() = default;

FormSection* ListenView::buildServerSection(APIReferenceKind kind) {
    const bool osc = kind == APIReferenceKind::osc;
    const QString title = osc ? tr("OSC API Reference") : tr("HTTP API Reference");
    // Made in the order the keyboard visits them: the reference button first.
    auto* section = new FormSection(osc ? tr("OSC") : tr("HTTP"), this);
    auto* reference = new QToolButton(section);
    reference->setObjectName(osc ? "oscReference" : "httpReference");
    reference->setAutoRaise(true);  // borderless
    reference->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    reference->setIcon(symbolIcon("info.circle", palette().color(QPalette::ButtonText), 14));
    reference->setText(title);
    reference->setToolTip(title);
    QFont small = reference->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    reference->setFont(small);
    reference->setFocusPolicy(Qt::StrongFocus);
    connect(reference, &QToolButton::clicked, this, [this, kind] {
        if (presentAPIReference_) presentAPIReference_(kind);
    });
    section->setHeaderAccessory(reference);
    (osc ? oscReference_ : httpReference_) = reference;

    auto* enabled = new QCheckBox(tr("Enabled"), section);
    enabled->setObjectName(osc ? "oscEnabled" : "httpEnabled");
    bindCheckable(osc ? oscEnabled_ : httpEnabled_, enabled);
    section->addRow(enabled);

    auto* port = new PortField(section);
    port->setObjectName(osc ? "oscPort" : "httpPort");
    port->setAccessibleName(tr("Port"));
    const SettingsStore::Key<std::int64_t> key = osc ? settings::oscPort : settings::httpPort;
    // Stored when editing ends (Return or leaving the field), not on every digit: each store
    // restarts the server.
    connect(port, &QLineEdit::editingFinished, this, [this, port, key] {
        if (state_.setPortText(key, port->text().toStdString())) port->setModified(false);
    });
    (osc ? oscPort_ : httpPort_) = port;
    auto* portRow = new QWidget(section);
    auto* portLayout = new QHBoxLayout(portRow);
    portLayout->setContentsMargins(0, 0, 0, 0);
    portLayout->addWidget(port);
    portLayout->addStretch(1);
    section->addRow(tr("Port"), portRow);

    auto* badge = new BridgeServerStatusBadge(osc ? model_.oscStatus().get() : model_.httpStatus().get(), section);
    badge->setObjectName(osc ? "oscStatus" : "httpStatus");
    (osc ? oscBadge_ : httpBadge_) = badge;
    section->addRow(tr("Status"), badge);
    return section;
}

QAbstractButton* ListenView::referenceButton(APIReferenceKind kind) const {
    return kind == APIReferenceKind::osc ? oscReference_ : httpReference_;
}

void ListenView::sync() {
    syncPicker();
    syncInterfaces();
    for (auto [field, setting, editable] : {std::tuple{oscPort_, &oscPortSetting_, state_.oscPortEditable()},
                                            std::tuple{httpPort_, &httpPortSetting_, state_.httpPortEditable()}}) {
        if (!field->hasFocus() || !field->isModified()) field->showPort(setting->value());
        field->setEnabled(editable);
    }
    webControl_->setEnabled(state_.webControlURL().has_value());
}

void ListenView::syncPicker() {
    QSignalBlocker blocker(picker_);
    picker_->clear();
    for (const auto& row : state_.pickerRows()) picker_->addItem(qs(row.label), qs(row.id));
    picker_->setCurrentIndex(picker_->findData(qs(state_.selectionID())));
}

void ListenView::syncInterfaces() {
    networkForm_->setRowVisible(interfacesRow_, state_.showsAvailableInterfaces());
    while (QLayoutItem* item = interfaceLines_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const auto addLine = [this](const QString& text, bool caption) {
        QLabel* line = caption ? secondaryCaption(text, interfacesRow_) : nullptr;
        if (!line) {
            auto* elided = new ElidedLineLabel(interfacesRow_);
            elided->setFullText(text);
            elided->setTextInteractionFlags(Qt::TextSelectableByMouse);
            QPalette palette = elided->palette();
            palette.setColor(QPalette::WindowText, controlColor(ControlColor::secondary, palette));
            elided->setPalette(palette);
            line = elided;
        }
        line->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        interfaceLines_->addWidget(line);
    };
    for (const auto& line : state_.availableInterfaceLines()) addLine(qs(line), false);
    if (model_.availableInterfaces().get().empty()) addLine(qs(ListenViewState::noOtherInterfacesText), true);
}

}  // namespace pavonix
