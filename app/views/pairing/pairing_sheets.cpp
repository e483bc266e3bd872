#include "app/views/pairing/pairing_sheets.h"

#include <algorithm>
#include <cmath>

#include <qrencode.h>

#include <QClipboard>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "app/views/controls/control_icons.h"
#include "app/views/controls/controls_view.h"
#include "app/views/controls/window_placement.h"
#include "app/views/settings/settings_form.h"

namespace pavonix {

namespace {

// Modules of white around the code at the least; readers need some to find its corners. Whatever
// the frame has beyond the code is white as well.
constexpr int quietZone = 2;

QString qs(const std::string& text) { return QString::fromStdString(text); }

void setTextColor(QLabel* label, ControlColor color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, controlColor(color, palette));
    label->setPalette(palette);
}

QLabel* redCaption(QWidget* parent) {
    QLabel* label = captionLabel({}, parent);
    setTextColor(label, ControlColor::red);
    label->hide();
    return label;
}

// Deletes every item of the layout, widgets included. Later, since a row's own button may be the
// one whose click got here; out of sight at once.
void clearLayout(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        if (QLayout* child = item->layout()) clearLayout(child);
        delete item;
    }
}

void showOptional(QLabel* label, const std::optional<std::string>& text) {
    label->setText(text ? qs(*text) : QString());
    label->setVisible(text.has_value());
}

// The text broken into lines of at most `width` pixels, anywhere (pair ids, secrets and URLs
// have no spaces); beyond `lines` lines the middle gives way to an ellipsis.
QString wrapAndElide(const QString& text, const QFontMetrics& metrics, int width, int lines) {
    const auto wrap = [&](const QString& source) {
        QStringList out;
        QString line;
        for (QChar c : source) {
            if (!line.isEmpty() && metrics.horizontalAdvance(line + c) > width) {
                out << line;
                line.clear();
            }
            line += c;
        }
        if (!line.isEmpty()) out << line;
        return out;
    };
    QStringList wrapped = wrap(text);
    if (wrapped.size() <= lines) return wrapped.join('\n');
    const QString ellipsis = QStringLiteral("\u2026");
    qsizetype keep = text.size();
    while (keep > 2) {
        keep = keep * 9 / 10;
        const QString shortened = text.left(keep / 2) + ellipsis + text.right(keep - keep / 2);
        wrapped = wrap(shortened);
        if (wrapped.size() <= lines) break;
    }
    return wrapped.join('\n');
}

// One line of a list row, cut in the middle when the row is too narrow, so that a long name never
// pushes the row's button out of the sheet; the whole text is in its tool tip.
ElidedLineLabel* rowLine(const QString& text, QWidget* parent) {
    auto* line = new ElidedLineLabel(parent);
    line->setFullText(text);
    return line;
}

// A list row: a title over a selectable detail line, then a destructive "Remove".
QWidget* deviceRow(const QString& title, const QString& detail, QWidget* parent, std::function<void()> remove,
                   QPushButton*& button) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 2, 0, 2);
    layout->setSpacing(12);
    auto* column = new QVBoxLayout;
    column->setSpacing(3);
    column->addWidget(rowLine(title, row));
    ElidedLineLabel* detailLine = rowLine(detail, row);
    QFont caption = detailLine->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.85);
    detailLine->setFont(caption);
    setCaptionWarning(detailLine, false);
    detailLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(detailLine);
    layout->addLayout(column, 1);
    button = new QPushButton(QObject::tr("Remove"), row);
    button->setObjectName("remove");
    QPalette palette = button->palette();
    palette.setColor(QPalette::ButtonText, controlColor(ControlColor::red, palette));
    button->setPalette(palette);
    button->setAutoDefault(false);
    QObject::connect(button, &QPushButton::clicked, row, std::move(remove));
    layout->addWidget(button, 0, Qt::AlignTop);
    return row;
}

// Takes the records when they differ from the ones shown; false when nothing changed.
template <class Record>
bool replaceShown(std::optional<std::vector<Record>>& shown, std::vector<Record> records) {
    if (records == shown) return false;
    shown = std::move(records);
    return true;
}

QLabel* emptyListText(const QString& text, QWidget* parent) {
    QLabel* label = plainLabel(text, parent);
    setTextColor(label, ControlColor::secondary);
    return label;
}

// Asks the state's pending removal once, while one is pending.
template <class State>
void askPendingRemoval(PairingSheetFrame* sheet, State& state, const QString& title) {
    if (!state.pendingRemoval() || sheet->findChild<QMessageBox*>()) return;
    sheet->confirmRemoval(title, QString::fromStdString(state.removalMessage()), [&state](bool remove) {
        if (remove) {
            state.confirmRemoval();
        } else {
            state.cancelRemoval();
        }
    });
}

QPushButton* addButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(symbolIcon("plus", parent->palette().color(QPalette::ButtonText), 16), text, parent);
    button->setAutoDefault(false);
    return button;
}

// Return (or Enter) in `field` presses `button` when it can be pressed. While the field holds
// text, Return never reaches the sheet, whose default button "Done" would close it and lose what
// was typed; in an empty field it closes the sheet as anywhere else.
void returnPresses(QLineEdit* field, QPushButton* button) {
    class Filter : public QObject {
    public:
        Filter(QLineEdit* field, QPushButton* button) : QObject(field), field_(field), button_(button) {}
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() != QEvent::KeyPress || field_->text().isEmpty()) return false;
            const auto* press = static_cast<QKeyEvent*>(event);
            if (press->key() != Qt::Key_Return && press->key() != Qt::Key_Enter) return false;
            // A held key adds once, not a pairing for every repeat.
            if (button_->isEnabled() && !press->isAutoRepeat()) button_->click();
            return true;
        }

    private:
        QLineEdit* field_;
        QPushButton* button_;
    };
    field->installEventFilter(new Filter(field, button));
}

// Keeps an editor's text equal to the state's without disturbing the cursor while typing.
void showText(QLineEdit* editor, const std::string& text) {
    const QString value = qs(text);
    if (editor->text() != value) editor->setText(value);
}

}  // namespace

// ---- QR code ----

std::optional<QRCodeModules> makeQRCode(const std::string& text) {
    QRcode* code = QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_M);
    if (!code) return std::nullopt;
    QRCodeModules modules;
    modules.size = code->width;
    modules.dark.resize(static_cast<std::size_t>(code->width) * static_cast<std::size_t>(code->width));
    for (std::size_t i = 0; i < modules.dark.size(); ++i) modules.dark[i] = (code->data[i] & 1) != 0;
    QRcode_free(code);
    return modules;
}

QRCodeView::QRCodeView(QWidget* parent) : QWidget(parent) {
    setAccessibleName(tr("Pairing QR code unavailable"));
}

void QRCodeView::setValue(const std::string& value) {
    modules_ = makeQRCode(value);
    setAccessibleName(modules_ ? tr("Pairing QR code") : tr("Pairing QR code unavailable"));
    update();
}

void QRCodeView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (!modules_) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        QColor fill = palette().color(QPalette::WindowText);
        fill.setAlphaF(0.1);
        painter.setBrush(fill);
        painter.drawRoundedRect(rect(), 8, 8);
        painter.setPen(controlColor(ControlColor::secondary, palette()));
        QFont font = painter.font();
        font.setPointSizeF(font.pointSizeF() * 2);
        painter.setFont(font);
        painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("QR"));
        return;
    }
    // Work in device pixels, so that every module edge falls on a pixel edge when it can.
    const qreal ratio = painter.device()->devicePixelRatioF();
    const int count = modules_->size + 2 * quietZone;
    const qreal side = std::floor(std::min(width(), height()) * ratio);
    const qreal module = side >= count ? std::floor(side / count) : side / count;
    const qreal drawn = module * modules_->size;
    const qreal left = std::floor((width() * ratio - drawn) / 2);
    const qreal top = std::floor((height() * ratio - drawn) / 2);
    painter.scale(1 / ratio, 1 / ratio);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.fillRect(QRectF(0, 0, width() * ratio, height() * ratio), Qt::white);
    for (int y = 0; y < modules_->size; ++y) {
        for (int x = 0; x < modules_->size; ++x) {
            if (!modules_->at(x, y)) continue;
            painter.fillRect(QRectF(left + x * module, top + y * module, module, module), Qt::black);
        }
    }
}

// ---- The shared frame ----

PairingSheetFrame::PairingSheetFrame(const QString& title, const QString& caption, QSize size, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(title);
    fixSizeWithinScreen(this, size);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    auto* header = new QVBoxLayout;
    header->setContentsMargins(20, 20, 20, 10);
    header->setSpacing(4);
    QLabel* titleLabel = plainLabel(title, this);
    QFont font = titleLabel->font();
    font.setPointSizeF(font.pointSizeF() * 1.5);
    font.setWeight(QFont::DemiBold);
    titleLabel->setFont(font);
    header->addWidget(titleLabel);
    QLabel* captionText = plainLabel(caption, this);
    setTextColor(captionText, ControlColor::secondary);
    header->addWidget(captionText);
    outer->addLayout(header);

    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* content = new QWidget(scroll);
    form_ = new QVBoxLayout(content);
    form_->setContentsMargins(20, 6, 20, 16);
    form_->setSpacing(16);
    scroll->setWidget(content);
    outer->addWidget(scroll, 1);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    outer->addWidget(divider);

    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(20, 14, 20, 14);
    bar->addStretch(1);
    done_ = new QPushButton(tr("Done"), this);
    done_->setObjectName("done");
    done_->setDefault(true);
    connect(done_, &QPushButton::clicked, this, &QDialog::accept);
    bar->addWidget(done_);
    outer->addLayout(bar);
}

void PairingSheetFrame::orderFocus() {
    std::vector<QWidget*> chain;
    std::function<void(QLayout*)> collect = [&](QLayout* layout) {
        for (int i = 0; i < layout->count(); ++i) {
            QLayoutItem* item = layout->itemAt(i);
            if (QWidget* widget = item->widget()) {
                if (widget->focusPolicy() & Qt::TabFocus) chain.push_back(widget);
                if (widget->layout()) collect(widget->layout());
            } else if (QLayout* child = item->layout()) {
                collect(child);
            }
        }
    };
    collect(form_);
    chain.push_back(done_);
    for (std::size_t i = 1; i < chain.size(); ++i) setTabOrder(chain[i - 1], chain[i]);
}

QVBoxLayout* PairingSheetFrame::addSection(const QString& title, const char* objectName) {
    auto* section = new FormSection(title, form_->parentWidget());
    section->setObjectName(objectName);
    auto* body = new QWidget(section);
    auto* column = new QVBoxLayout(body);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    section->addRow(body);
    form_->addWidget(section);
    return column;
}

void PairingSheetFrame::confirmRemoval(const QString& title, const QString& message,
                                       std::function<void(bool)> onClose) {
    auto* alert = new QMessageBox(QMessageBox::Warning, title, QString(), QMessageBox::NoButton, this);
    // The message names the device as its owner or the device itself named it.
    alert->setTextFormat(Qt::PlainText);
    alert->setText(message);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* remove = alert->addButton(tr("Remove"), QMessageBox::DestructiveRole);
    QPushButton* cancel = alert->addButton(tr("Cancel"), QMessageBox::RejectRole);
    alert->setDefaultButton(cancel);
    alert->setEscapeButton(cancel);
    connect(alert, &QMessageBox::finished, this, [this, alert, remove, onClose = std::move(onClose)] {
        const bool removing = alert->clickedButton() == remove;
        if (!removing) removingRow_.reset();
        onClose(removing);
    });
    alert->open();
}

void PairingSheetFrame::showRows(QVBoxLayout* list, std::vector<ListRow> rows, const QString& emptyText,
                                 QWidget* whenEmpty) {
    const std::size_t before = removeButtons_.size();
    clearLayout(list);
    removeButtons_.clear();
    QWidget* parent = list->parentWidget();
    if (rows.empty()) list->addWidget(emptyListText(emptyText, parent));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        QPushButton* button = nullptr;
        auto remove = [this, i, remove = std::move(rows[i].remove)] {
            removingRow_ = i;
            remove();
        };
        list->addWidget(deviceRow(rows[i].title, rows[i].detail, parent, std::move(remove), button));
        removeButtons_.push_back(button);
    }
    if (removingRow_ && removeButtons_.size() < before) {
        QWidget* next = removeButtons_.empty() ? (whenEmpty ? whenEmpty : done_)
                                               : removeButtons_[std::min(*removingRow_, removeButtons_.size() - 1)];
        removingRow_.reset();
        next->setFocus(Qt::OtherFocusReason);
    }
}

// ---- HTTP pairing sheet ----

HTTPPairedDevicesSheet::HTTPPairedDevicesSheet(PairingSheetsModel& model, SettingsStore& store, QWidget* parent)
    : PairingSheetFrame(tr("HTTP Paired Devices"), tr("Pair Phonaro or another HTTP client with a shared HMAC secret."),
                        QSize(620, 680), parent),
      state_(model, store) {
    setObjectName("httpPairedDevicesSheet");
    QVBoxLayout* add = addSection(tr("Add Device"), "addDevice");
    auto* nameRow = new QHBoxLayout;
    auto* nameLabel = new QLabel(tr("Device Name"), this);
    name_ = new QLineEdit(this);
    name_->setObjectName("deviceName");
    name_->setAccessibleName(tr("Device Name"));
    nameLabel->setBuddy(name_);
    nameRow->addWidget(nameLabel);
    nameRow->addWidget(name_, 1);
    add->addLayout(nameRow);
    add_ = addButton(tr("Add Paired Device"), this);
    add_->setObjectName("addPairedDevice");
    add->addWidget(add_, 0, Qt::AlignLeft);
    error_ = redCaption(this);
    add->addWidget(error_);

    credentials_ = addSection(tr("New Device Credentials"), "newDeviceCredentials");
    credentialsSection_ = form()->itemAt(form()->count() - 1)->widget();
    devices_ = addSection(tr("Paired Devices"), "pairedDevices");
    form()->addStretch(1);

    connect(name_, &QLineEdit::textEdited, this, [this](const QString& text) { state_.setDeviceName(text.toStdString()); });
    connect(add_, &QPushButton::clicked, this, [this] { state_.addDevice(); });
    returnPresses(name_, add_);
    state_.onChange([this] { sync(); });
    rebuildCredentials();
    sync();
    name_->setFocus();
}

void HTTPPairedDevicesSheet::copy(const std::string& value, const std::string& label) {
    auto* data = new QMimeData;
    data->setText(qs(value));
    // Clipboard managers that keep a history skip entries marked as secrets.
    data->setData(QStringLiteral("x-kde-passwordManagerHint"), QByteArrayLiteral("secret"));
    QGuiApplication::clipboard()->setMimeData(data);
    state_.copied(label);
}

void HTTPPairedDevicesSheet::sync() {
    showText(name_, state_.deviceName());
    add_->setEnabled(state_.canAdd());
    showOptional(error_, state_.errorMessage());

    const auto& setup = state_.setup();
    const std::optional<std::string> url = state_.setupURL();
    const std::string setupID = setup ? setup->device.id : std::string();
    if (setup.has_value() != shownCredentials_ || setupID != shownSetupID_ || url != shownURL_) {
        shownCredentials_ = setup.has_value();
        shownSetupID_ = setupID;
        shownURL_ = url;
        rebuildCredentials();
    }
    if (copied_) showOptional(copied_, state_.copiedMessage());
    rebuildDevices();
    orderFocus();
    askPendingRemoval(this, state_, tr("Remove Paired Device?"));
}

QWidget* HTTPPairedDevicesSheet::credentialRow(const QString& label, const std::string& value, int lines) {
    auto* row = new QWidget(this);
    row->setObjectName(label);
    auto* column = new QVBoxLayout(row);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    auto* top = new QHBoxLayout;
    auto* title = secondaryCaption(label, row);
    QFont bold = title->font();
    bold.setWeight(QFont::DemiBold);
    title->setFont(bold);
    top->addWidget(title);
    top->addStretch(1);
    auto* button = new QPushButton(tr("Copy"), row);
    button->setObjectName("copy");
    button->setAutoDefault(false);
    button->setAccessibleName(tr("Copy %1").arg(label));
    connect(button, &QPushButton::clicked, this, [this, value, label] { copy(value, label.toStdString()); });
    top->addWidget(button);
    column->addLayout(top);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(title->font().pointSizeF());
    QLabel* text = plainLabel(QString(), row);
    text->setFont(mono);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // 620 points less the margins, the QR code and the spacing.
    text->setText(wrapAndElide(qs(value), QFontMetrics(mono), 370, lines));
    column->addWidget(text);
    return row;
}

void HTTPPairedDevicesSheet::rebuildCredentials() {
    clearLayout(credentials_);
    copied_ = nullptr;
    credentialsSection_->setVisible(shownCredentials_);
    if (!shownCredentials_) return;
    if (!shownURL_) {
        QLabel* warning = redCaption(this);
        warning->setText(tr("Set a valid HTTP port before copying the setup URL."));
        warning->show();
        credentials_->addWidget(warning);
        return;
    }
    const HTTPPairingSetup& setup = *state_.setup();
    auto* row = new QHBoxLayout;
    row->setSpacing(14);
    auto* code = new QRCodeView(this);
    code->setObjectName("qrCode");
    code->setFixedSize(150, 150);
    code->setValue(*shownURL_);
    row->addWidget(code, 0, Qt::AlignTop);
    auto* column = new QVBoxLayout;
    column->setSpacing(10);
    column->addWidget(credentialRow(tr("Pair ID"), setup.device.id, 2));
    column->addWidget(credentialRow(tr("Secret"), setup.secret, 2));
    column->addWidget(credentialRow(tr("Setup URL"), *shownURL_, 3));
    copied_ = secondaryCaption({}, this);
    copied_->setObjectName("copied");
    column->addWidget(copied_);
    column->addStretch(1);
    row->addLayout(column, 1);
    credentials_->addLayout(row);
}

void HTTPPairedDevicesSheet::rebuildDevices() {
    if (!replaceShown(shownDevices_, state_.devices())) return;
    std::vector<ListRow> rows;
    for (const HTTPPairedDevice& device : *shownDevices_) {
        rows.push_back({qs(device.name), qs(device.id + " - Added " + pairingListDateText(device.createdAt)),
                        [this, device] { state_.requestRemoval(device); }});
    }
    showRows(devices_, std::move(rows), tr("No devices are paired."), name_);
}

// ---- Bluetooth paired devices sheet ----

BluetoothPairedDevicesSheet::BluetoothPairedDevicesSheet(PairingSheetsModel& model, SettingsStore& store,
                                                         QWidget* parent)
    : PairingSheetFrame(tr("Bluetooth Paired Devices"),
                        tr("Manage phones and tablets paired with this computer over Bluetooth."), QSize(560, 420),
                        parent),
      state_(model, store) {
    setObjectName("bluetoothPairedDevicesSheet");
    devices_ = addSection(tr("Paired Devices"), "pairedDevices");
    form()->addStretch(1);
    state_.onChange([this] {
        rebuildDevices();
        orderFocus();
        askPendingRemoval(this, state_, tr("Remove Bluetooth Device?"));
    });
    rebuildDevices();
    orderFocus();
}

void BluetoothPairedDevicesSheet::rebuildDevices() {
    if (!replaceShown(shownDevices_, state_.devices())) return;
    std::vector<ListRow> rows;
    for (const BluetoothPairedDevice& device : *shownDevices_) {
        rows.push_back({qs(BluetoothPairedDevicesSheetState::displayName(device)),
                        qs(BluetoothPairedDevicesSheetState::detailText(device)),
                        [this, device] { state_.requestRemoval(device); }});
    }
    showRows(devices_, std::move(rows), tr("No Bluetooth devices are paired."), nullptr);
}

// ---- Remote devices sheet ----

RemoteLanternpostDevicesSheet::RemoteLanternpostDevicesSheet(PairingSheetsModel& model, SettingsStore& store,
                                                             QWidget* parent)
    : PairingSheetFrame(tr("Remote Devices"),
                        tr("Add another Pavonix from its setup URL, then choose it as the Target in the main window."),
                        QSize(620, 560), parent),
      state_(model, store) {
    setObjectName("remoteDevicesSheet");
    QVBoxLayout* add = addSection(tr("Add Remote Pavonix"), "addRemotePavonix");
    // One grid, so that both fields start at the same place whatever their labels' widths.
    auto* fields = new QGridLayout;
    fields->setHorizontalSpacing(8);
    fields->setVerticalSpacing(8);
    fields->setColumnStretch(1, 1);
    const auto labelled = [this, fields](int row, const QString& text, QLineEdit* editor) {
        QLabel* label = plainLabel(text, this);
        label->setBuddy(editor);
        editor->setAccessibleName(text);
        fields->addWidget(label, row, 0);
    };
    name_ = new QLineEdit(this);
    name_->setObjectName("deviceName");
    labelled(0, tr("Device Name"), name_);
    fields->addWidget(name_, 0, 1, 1, 2);
    url_ = new QLineEdit(this);
    url_->setObjectName("setupURL");
    labelled(1, tr("Setup URL"), url_);
    fields->addWidget(url_, 1, 1);
    auto* paste = new QPushButton(tr("Paste"), this);
    paste->setObjectName("paste");
    paste->setAutoDefault(false);
    fields->addWidget(paste, 1, 2);
    add->addLayout(fields);
    // The host comes from the pasted text: two lines at most, cut in the middle.
    preview_ = new ElidedLineLabel(this, 2);
    preview_->setObjectName("preview");
    QFont caption = preview_->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.85);
    preview_->setFont(caption);
    setCaptionWarning(preview_, false);
    add->addWidget(preview_);
    add_ = addButton(tr("Add Remote Pavonix"), this);
    add_->setObjectName("addRemotePavonix");
    add->addWidget(add_, 0, Qt::AlignLeft);
    error_ = redCaption(this);
    error_->setObjectName("error");
    add->addWidget(error_);
    targets_ = addSection(tr("Remote Devices"), "remoteDevices");
    form()->addStretch(1);

    connect(name_, &QLineEdit::textEdited, this, [this](const QString& text) { state_.setDeviceName(text.toStdString()); });
    connect(url_, &QLineEdit::textEdited, this,
            [this](const QString& text) { state_.setSetupURLString(text.toStdString()); });
    connect(paste, &QPushButton::clicked, this, [this] {
        const QMimeData* data = QGuiApplication::clipboard()->mimeData();
        state_.paste(data && data->hasText() ? std::optional(data->text().toStdString()) : std::nullopt);
    });
    connect(add_, &QPushButton::clicked, this, [this] { state_.addRemoteTarget(); });
    returnPresses(url_, add_);
    state_.onChange([this] { sync(); });
    sync();
    name_->setFocus();
}

void RemoteLanternpostDevicesSheet::sync() {
    showText(name_, state_.deviceName());
    showText(url_, state_.setupURLString());
    const std::optional<std::string> preview = state_.setupPreview();
    preview_->setFullText(preview ? qs(*preview) : QString());
    preview_->setVisible(preview.has_value());
    add_->setEnabled(state_.canAdd());
    showOptional(error_, state_.errorMessage());
    rebuildTargets();
    orderFocus();
}

void RemoteLanternpostDevicesSheet::rebuildTargets() {
    if (!replaceShown(shownTargets_, state_.targets())) return;
    std::vector<ListRow> rows;
    for (const RemoteLanternpostTarget& target : *shownTargets_) {
        rows.push_back({qs(RemoteDevicesSheetState::rowTitle(target)), qs(RemoteDevicesSheetState::rowDetail(target)),
                        [this, id = target.id] { state_.removeTarget(id); }});
    }
    showRows(targets_, std::move(rows), tr("No remote devices are paired."), name_);
}

}  // namespace pavonix
