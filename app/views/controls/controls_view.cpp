#include "app/views/controls/controls_view.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QTextLayout>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QWindow>

#include "app/views/controls/control_icons.h"
#include "app/views/controls/navigation_tab_defocus_monitor.h"

namespace pavonix {

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }
QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QString rgba(const QColor& color, double alpha) {
    return QStringLiteral("rgba(%1,%2,%3,%4)").arg(color.red()).arg(color.green()).arg(color.blue()).arg(alpha);
}

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

// The lines `text` takes at `width`, wrapped at word boundaries (anywhere within a word too long
// for a line), without the spaces at the breaks.
QStringList wrappedLines(const QString& text, const QFont& font, int width) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        QString part = text.mid(line.textStart(), line.textLength());
        while (part.endsWith(QLatin1Char(' '))) part.chop(1);
        lines << part;
    }
    layout.endLayout();
    return lines;
}

// `text` shortened around an ellipsis in its middle to the longest form that `fits` accepts;
// `text` itself when it fits. A character outside the basic plane is never cut in two.
QString elidedInTheMiddle(const QString& text, const std::function<bool(const QString&)>& fits) {
    if (fits(text)) return text;
    const QString ellipsis(QChar(0x2026));
    // `kept` characters of the text around the ellipsis, the extra one at the front.
    const auto candidate = [&](qsizetype kept) {
        qsizetype head = (kept + 1) / 2;
        qsizetype tail = kept - head;
        if (head > 0 && text[head - 1].isHighSurrogate()) --head;
        if (tail > 0 && text[text.size() - tail].isLowSurrogate()) --tail;
        return text.left(head) + ellipsis + text.right(tail);
    };
    // The most that fits: candidate(low) fits, nothing above `high` does.
    qsizetype low = 0;
    qsizetype high = text.size() - 1;
    while (low < high) {
        const qsizetype middle = low + (high - low + 1) / 2;
        if (fits(candidate(middle))) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    return candidate(low);
}

// The widest title that leaves the 240-point target button room for its margins and menu arrow.
constexpr int targetTitleWidth = 190;
// The widest entry of the target menu: a long remote name would otherwise make the menu as wide
// as the screen.
constexpr int targetMenuEntryWidth = 360;

void setTextIfDifferent(QLineEdit* edit, const std::string& text) {
    const QString value = qs(text);
    if (edit->text() != value) edit->setText(value);
}

}  // namespace

void NoWheelComboBox::wheelEvent(QWheelEvent* event) { event->ignore(); }

ElidedLineLabel::ElidedLineLabel(QWidget* parent, int maxLines) : QLabel(parent), maxLines_(std::max(maxLines, 1)) {
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    setFocusPolicy(Qt::ClickFocus);
    auto* copy = new QAction(tr("Copy"), this);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this, [this] { QApplication::clipboard()->setText(fullText_); });
    addAction(copy);
}

void ElidedLineLabel::setFullText(const QString& text) {
    if (text == fullText_) return;
    fullText_ = text;
    setToolTip(plainToolTip(text));
    relayout();
}

void ElidedLineLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    relayout();
}

void ElidedLineLabel::relayout() {
    // The label shows the lines as laid out here, so it never wraps a third one of its own.
    const int width = std::max(contentsRect().width(), 40);
    QString text = fullText_;
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    const auto fits = [&](const QString& candidate) { return wrappedLines(candidate, font(), width).size() <= maxLines_; };
    setText(wrappedLines(elidedInTheMiddle(text, fits), font(), width).join(QLatin1Char('\n')));
}

// ---- Construction -------------------------------------------------------------------------------

ControlsView::ControlsView(ControlsModel& model, SettingsStore& store, bool isActive, NotificationCenter& notifications,
                           QWidget* parent)
    : QWidget(parent), state_(std::make_unique<ControlsViewState>(model, store, isActive, notifications)) {
    setObjectName("controls");
    setFocusPolicy(Qt::ClickFocus);
    build();
    state_->setOnChange([this] { sync(); });
    state_->setEndEditing([this] {
        if (QWidget* focused = window()->focusWidget()) focused->clearFocus();
    });
    state_->setPresentRemoteDevices([this] { presentRemoteDevices(); });
    tabMonitor_ = new NavigationTabDefocusMonitor(
        {[this] { return state_->focusedTextField(); },
         [this](std::optional<ControlTextField> field) { state_->setFocusedTextField(field); }},
        this);
    tabMonitor_->installMonitor();
    // The emphasised look follows the window's activation.
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this] { syncButtons(); }, Qt::QueuedConnection);
    focusConnection_ = connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { focusChanged(now); });
    sync();
}

ControlsView::~ControlsView() {
    // Focus moves while the child widgets are destroyed, after the state is gone.
    disconnect(focusConnection_);
    delete tabMonitor_;
    // The state's handlers call back into the widgets; silence them before the widgets go.
    state_->setOnChange(nullptr);
    state_->setEndEditing(nullptr);
    state_->setPresentRemoteDevices(nullptr);
}

void ControlsView::setRemoteDevicesSheetFactory(std::function<QDialog*(QWidget*)> factory) {
    remoteDevicesSheetFactory_ = std::move(factory);
}

void ControlsView::build() {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* form = new QWidget(scroll);
    auto* formLayout = new QVBoxLayout(form);
    formLayout->setContentsMargins(8, 6, 8, 6);

    auto* targetSection = new QGroupBox(form);
    buildTargetSection(targetSection);
    auto* commandSection = new QGroupBox(form);
    buildCommandSection(commandSection);
    navigationSection_ = new QGroupBox(form);
    buildNavigationSection(navigationSection_);
    formLayout->addWidget(targetSection);
    formLayout->addWidget(commandSection);
    formLayout->addWidget(navigationSection_);
    formLayout->addStretch(1);
    scroll->setWidget(form);

    outer->addWidget(scroll, 1);
    outer->addWidget(buildResultBar());
    buildShortcuts();
}

void ControlsView::buildTargetSection(QGroupBox* section) {
    auto* layout = new QVBoxLayout(section);

    auto* targetRow = new QHBoxLayout;
    targetRow->addWidget(new QLabel(tr("Target"), section));
    targetRow->addStretch(1);
    // A push button rather than a tool button: it leaves room for its menu arrow, which a tool
    // button draws over the end of its text.
    targetMenuButton_ = new QPushButton(section);
    targetMenuButton_->setObjectName("targetMenu");
    targetMenuButton_->setFocusPolicy(Qt::TabFocus);
    targetMenuButton_->setMaximumWidth(240);
    targetMenuButton_->setMenu(new QMenu(targetMenuButton_));
    targetMenuButton_->menu()->setToolTipsVisible(true);
    targetRow->addWidget(targetMenuButton_);
    targetRow->setSpacing(6);
    statusIcon_ = new QLabel(section);
    statusIcon_->setObjectName("targetStatus");
    statusIcon_->setFixedSize(24, 24);
    targetRow->addWidget(statusIcon_);
    layout->addLayout(targetRow);

    addressEditor_ = new QWidget(section);
    auto* addressLayout = new QVBoxLayout(addressEditor_);
    addressLayout->setContentsMargins(0, 0, 0, 0);
    addressLayout->setSpacing(8);
    auto* addressRow = new QHBoxLayout;
    addressRow->setSpacing(8);
    addressRow->addWidget(new QLabel(tr("Address"), addressEditor_));
    addressRow->addStretch(1);
    hostEdit_ = new QLineEdit(addressEditor_);
    hostEdit_->setObjectName("remoteHost");
    hostEdit_->setMaximumWidth(100);
    portEdit_ = new QLineEdit(addressEditor_);
    portEdit_->setObjectName("remotePort");
    portEdit_->setFixedWidth(55);
    saveAddressButton_ = new QToolButton(addressEditor_);
    saveAddressButton_->setObjectName("saveAddress");
    saveAddressButton_->setAutoRaise(true);
    saveAddressButton_->setToolTip(tr("Save address"));
    saveAddressButton_->setAccessibleName(tr("Save Address"));
    saveAddressButton_->setIcon(symbolIcon("checkmark", palette().color(QPalette::WindowText), 16));
    addressRow->addWidget(hostEdit_);
    addressRow->addWidget(new QLabel(":", addressEditor_));
    addressRow->addWidget(portEdit_);
    addressRow->addWidget(saveAddressButton_);
    addressLayout->addLayout(addressRow);
    addressWarning_ = captionLabel(qs(ControlsViewState::invalidAddressMessage), addressEditor_);
    addressWarning_->setObjectName("addressWarning");
    setTextColor(addressWarning_, controlColor(ControlColor::orange, palette()));
    addressLayout->addWidget(addressWarning_);
    layout->addWidget(addressEditor_);
    connect(hostEdit_, &QLineEdit::textEdited, this, [this](const QString& text) { state_->setRemoteHostInput(text.toStdString()); });
    connect(portEdit_, &QLineEdit::textEdited, this, [this](const QString& text) { state_->setRemotePortInput(text.toStdString()); });
    connect(hostEdit_, &QLineEdit::returnPressed, this, [this] { state_->saveRemoteAddress(); });
    connect(portEdit_, &QLineEdit::returnPressed, this, [this] { state_->saveRemoteAddress(); });
    connect(saveAddressButton_, &QToolButton::clicked, this, [this] { state_->saveRemoteAddress(); });

    windowSection_ = new QWidget(section);
    auto* windowLayout = new QVBoxLayout(windowSection_);
    windowLayout->setContentsMargins(0, 0, 0, 0);
    windowLayout->setSpacing(10);
    auto* windowRow = new QHBoxLayout;
    windowRow->setSpacing(8);
    windowRow->addWidget(new QLabel(tr("Window"), windowSection_));
    windowPicker_ = new NoWheelComboBox(windowSection_);
    windowPicker_->setObjectName("windowPicker");
    windowPicker_->setAccessibleName(tr("Window"));
    windowPicker_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    windowRow->addWidget(windowPicker_, 1);
    refreshWindowsButton_ = new QToolButton(windowSection_);
    refreshWindowsButton_->setObjectName("refreshWindows");
    refreshWindowsButton_->setAutoRaise(true);
    refreshWindowsButton_->setToolTip(tr("Refresh open windows"));
    refreshWindowsButton_->setAccessibleName(tr("Refresh open windows"));
    windowRow->addWidget(refreshWindowsButton_);
    windowLayout->addLayout(windowRow);
    auto* caption = captionLabel(qs(ControlsViewState::windowPickerCaption), windowSection_);
    setTextColor(caption, controlColor(ControlColor::secondary, palette()));
    windowLayout->addWidget(caption);
    layout->addWidget(windowSection_);
    connect(windowPicker_, &QComboBox::activated, this, [this](int index) {
        const QVariant tag = windowPicker_->itemData(index);
        if (tag.isValid()) state_->pickWindow(tag.toLongLong());
        sync();  // a refused pick shows the saved window again
    });
    connect(refreshWindowsButton_, &QToolButton::clicked, this, [this] { state_->refreshWindows(); });
}

void ControlsView::buildCommandSection(QGroupBox* section) {
    auto* layout = new QVBoxLayout(section);
    layout->setSpacing(12);
    struct Member {
        const char* text;
        const char* symbol;
        ControlColor color;
        bool circular;
        PresentationCommand command;
        const char* name;
    };
    const Member members[] = {
        {"Start", "play.fill", ControlColor::green, true, PresentationCommand::start(false), "start"},
        {"Start from First", "memories", ControlColor::blue, true, PresentationCommand::start(true), "startFromFirst"},
        {"Stop", "square.fill", ControlColor::red, true, PresentationCommand::stop(), "stop"},
        {"Previous", "chevron.left.circle.fill", ControlColor::accent, false, PresentationCommand::showPrevious(), "previous"},
        {"Next", "chevron.right.circle.fill", ControlColor::accent, false, PresentationCommand::showNext(), "next"},
    };
    auto* circles = new QHBoxLayout;
    circles->setSpacing(18);
    circles->addStretch(1);
    auto* wide = new QHBoxLayout;
    wide->setSpacing(12);
    for (const Member& member : members) {
        auto* button = new QPushButton(section);
        button->setObjectName(member.name);
        button->setToolTip(tr(member.text));
        button->setAccessibleName(tr(member.text));
        button->setFocusPolicy(Qt::TabFocus);
        if (member.circular) {
            button->setFixedSize(52, 52);
            button->setIconSize(QSize(member.symbol == std::string_view("memories") ? 28 : 22, 28));
            circles->addWidget(button);
        } else {
            button->setText(tr(member.text));
            button->setMinimumHeight(44);
            button->setIconSize(QSize(20, 20));
            button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
            wide->addWidget(button, 1);
        }
        const PresentationCommand command = member.command;
        connect(button, &QPushButton::clicked, this, [this, command] { state_->send(command); });
        commandButtons_.push_back({button, member.symbol, member.color, member.circular});
    }
    circles->addStretch(1);
    layout->addLayout(circles);
    layout->addLayout(wide);
}

void ControlsView::buildNavigationSection(QGroupBox* section) {
    auto* layout = new QVBoxLayout(section);

    goToSlideRow_ = new QWidget(section);
    auto* goToLayout = new QVBoxLayout(goToSlideRow_);
    goToLayout->setContentsMargins(0, 0, 0, 0);
    auto* pickerRow = new QHBoxLayout;
    pickerRow->setSpacing(10);
    pickerRow->addWidget(new QLabel(tr("Go To Slide"), goToSlideRow_));
    pickerRow->addStretch(1);
    slidePicker_ = new NoWheelComboBox(goToSlideRow_);
    slidePicker_->setObjectName("slidePicker");
    slidePicker_->setAccessibleName(tr("Slide"));
    slidePicker_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    pickerRow->addWidget(slidePicker_);
    goToLayout->addLayout(pickerRow);
    // Caption text beneath the picker: two lines at most, cut in the middle, so that both the
    // start of a failure message and its end (often the reason) stay readable.
    slideListMessage_ = new ElidedLineLabel(goToSlideRow_, 2);
    slideListMessage_->setObjectName("slideListMessage");
    QFont captionFont = slideListMessage_->font();
    captionFont.setPointSizeF(captionFont.pointSizeF() * 0.85);
    slideListMessage_->setFont(captionFont);
    setTextColor(slideListMessage_, controlColor(ControlColor::secondary, palette()));
    goToLayout->addWidget(slideListMessage_);
    layout->addWidget(goToSlideRow_);
    connect(slidePicker_, &QComboBox::activated, this, [this](int index) {
        const QVariant number = slidePicker_->itemData(index);
        state_->setSelectedSlideNumber(number.isValid() ? std::optional<std::int64_t>(number.toLongLong()) : std::nullopt);
    });

    auto* numberRow = new QHBoxLayout;
    numberRow->setSpacing(10);
    numberRow->addWidget(new QLabel(tr("Slide #"), section));
    numberRow->addSpacing(12);
    numberRow->addStretch(1);
    slideNumberEdit_ = new QLineEdit(section);
    slideNumberEdit_->setObjectName("slideNumber");
    slideNumberEdit_->setFixedWidth(72);
    // Whole numbers only, no grouping; an emptied field leaves nothing to send.
    slideNumberEdit_->setValidator(new QIntValidator(-999999999, 999999999, slideNumberEdit_));
    numberRow->addWidget(slideNumberEdit_);
    slideNumberGo_ = new QPushButton(tr("Go"), section);
    slideNumberGo_->setObjectName("slideNumberGo");
    numberRow->addWidget(slideNumberGo_);
    layout->addLayout(numberRow);
    connect(slideNumberEdit_, &QLineEdit::textChanged, this,
            [this](const QString& text) { state_->setSlideNumberText(text.toStdString()); });
    connect(slideNumberEdit_, &QLineEdit::returnPressed, this, [this] { state_->submitSlideNumber(); });
    connect(slideNumberGo_, &QPushButton::clicked, this, [this] { state_->submitSlideNumber(); });

    slideNameRow_ = new QWidget(section);
    auto* nameLayout = new QHBoxLayout(slideNameRow_);
    nameLayout->setContentsMargins(0, 0, 0, 0);
    nameLayout->setSpacing(10);
    slideNameEdit_ = new QLineEdit(slideNameRow_);
    slideNameEdit_->setObjectName("slideName");
    slideNameEdit_->setPlaceholderText(tr("Go to Slide Named"));
    slideNameEdit_->setAccessibleName(tr("Go to Slide Named"));
    nameLayout->addWidget(slideNameEdit_, 1);
    slideNameGo_ = new QPushButton(tr("Go"), slideNameRow_);
    slideNameGo_->setObjectName("slideNameGo");
    nameLayout->addWidget(slideNameGo_);
    layout->addWidget(slideNameRow_);
    connect(slideNameEdit_, &QLineEdit::textChanged, this, [this](const QString& text) { state_->setSlideName(text.toStdString()); });
    connect(slideNameEdit_, &QLineEdit::returnPressed, this, [this] { state_->submitSlideName(); });
    connect(slideNameGo_, &QPushButton::clicked, this, [this] { state_->submitSlideName(); });
}

QWidget* ControlsView::buildResultBar() {
    auto* bar = new QWidget(this);
    bar->setObjectName("resultBar");
    bar->setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(bar);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* divider = new QFrame(bar);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider);
    storageNotice_ = new QLabel(bar);
    storageNotice_->setObjectName("storageNotice");
    storageNotice_->setTextFormat(Qt::PlainText);
    storageNotice_->setWordWrap(true);
    storageNotice_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    storageNotice_->setContentsMargins(18, 6, 18, 0);
    storageNotice_->hide();
    layout->addWidget(storageNotice_);
    auto* row = new QHBoxLayout;
    row->setContentsMargins(18, 6, 18, 6);
    row->setSpacing(8);
    auto* title = new QLabel(tr("Result"), bar);
    QFont font = title->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    font.setWeight(QFont::DemiBold);
    title->setFont(font);
    setTextColor(title, controlColor(ControlColor::secondary, palette()));
    row->addWidget(title);
    resultLine_ = new ElidedLineLabel(bar);
    resultLine_->setObjectName("resultLine");
    font.setWeight(QFont::Normal);
    resultLine_->setFont(font);
    row->addWidget(resultLine_, 1);
    layout->addLayout(row);
    return bar;
}

void ControlsView::buildShortcuts() {
    // Command-Return on the Mac is Ctrl+Return here.
    const std::pair<ControlShortcut, QKeySequence> keys[] = {
        {ControlShortcut::start, QKeySequence(Qt::CTRL | Qt::Key_Return)},
        {ControlShortcut::startFromBeginning, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Return)},
        {ControlShortcut::stop, QKeySequence(Qt::Key_Escape)},
        {ControlShortcut::previous, QKeySequence(Qt::Key_Left)},
        {ControlShortcut::next, QKeySequence(Qt::Key_Right)},
        {ControlShortcut::nextSpace, QKeySequence(Qt::Key_Space)},
    };
    for (const auto& [shortcut, key] : keys) {
        auto* qshortcut = new QShortcut(key, this);
        qshortcut->setContext(Qt::WindowShortcut);
        const ControlShortcut which = shortcut;
        connect(qshortcut, &QShortcut::activated, this, [this, which] { state_->triggerShortcut(which); });
        shortcuts_.emplace_back(shortcut, qshortcut);
    }
}

// ---- Events -------------------------------------------------------------------------------------

void ControlsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Each time the view comes on screen (the window opening, or the main view returning after
    // the welcome screen), but not when the window system merely restores the window.
    if (!event->spontaneous()) {
        // The keyboard goes to the view itself, not to its first text field, so the arrow and
        // Space shortcuts work at once.
        setFocus(Qt::OtherFocusReason);
        state_->appear();
    }
}

void ControlsView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange) syncButtons();
}

void ControlsView::focusChanged(QWidget* now) {
    std::optional<ControlTextField> field;
    if (now == slideNumberEdit_) field = ControlTextField::slideNumber;
    if (now == slideNameEdit_) field = ControlTextField::slideName;
    if (now == hostEdit_) field = ControlTextField::remoteHost;
    if (now == portEdit_) field = ControlTextField::remotePort;
    state_->setFocusedTextField(field);
}

void ControlsView::presentRemoteDevices() {
    QDialog* sheet = remoteDevicesSheetFactory_ ? remoteDevicesSheetFactory_(window()) : nullptr;
    if (!sheet) {
        state_->setPresentingRemoteDevices(false);
        return;
    }
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    connect(sheet, &QDialog::finished, this, [this] { state_->setPresentingRemoteDevices(false); });
    sheet->open();
}

// ---- Sync ---------------------------------------------------------------------------------------

void ControlsView::sync() {
    const ControlsViewState& s = *state_;
    const auto target = s.selectedRemoteTarget();

    syncTargetMenu();
    const QColor statusColor = controlColor(s.targetStatusColor(), palette());
    statusIcon_->setPixmap(symbolIcon(s.targetStatusSymbolName(), statusColor, 22).pixmap(22, 22));
    statusIcon_->setToolTip(plainToolTip(qs(s.targetStatusText())));
    statusIcon_->setAccessibleName(qs(s.targetStatusText()));

    addressEditor_->setVisible(target.has_value());
    if (target) {
        // Also while a field has the keyboard: typing keeps field and state equal, so this only
        // ever loads another target's address, which must not show the previous one's.
        setTextIfDifferent(hostEdit_, s.remoteHostInput());
        setTextIfDifferent(portEdit_, s.remotePortInput());
        saveAddressButton_->setEnabled(s.canSaveRemoteAddress(*target));
        addressWarning_->setVisible(!s.isRemoteAddressInputValid());
    }
    windowSection_->setVisible(s.showsWindowSection());
    if (s.showsWindowSection()) syncWindowPicker();

    syncButtons();

    navigationSection_->setTitle(qs(s.navigationSectionTitle()));
    goToSlideRow_->setVisible(s.canLoadSlides());
    slideNameRow_->setVisible(s.canLoadSlides());
    syncSlidePicker();
    const bool canSend = s.canSendCommands();
    if (!slideNumberEdit_->hasFocus()) setTextIfDifferent(slideNumberEdit_, s.slideNumberText());
    slideNumberEdit_->setEnabled(canSend);
    slideNumberGo_->setEnabled(s.canSubmitSlideNumber());
    slideNameEdit_->setEnabled(canSend);
    slideNameGo_->setEnabled(s.canSubmitSlideName());

    const QString notice = qs(s.storageNoticeText());
    if (storageNotice_->text() != notice) storageNotice_->setText(notice);
    storageNotice_->setVisible(!notice.isEmpty());
    setTextColor(storageNotice_, controlColor(ControlColor::red, palette()));
    resultLine_->setFullText(qs(s.resultLine()));
    setTextColor(resultLine_, controlColor(s.resultColor(), palette()));
    for (auto& [shortcut, qshortcut] : shortcuts_) qshortcut->setEnabled(s.isShortcutEnabled(shortcut));
}

void ControlsView::syncTargetMenu() {
    const QString title = qs(state_->targetMenuTitle());
    targetMenuButton_->setText(
        plainMenuText(targetMenuButton_->fontMetrics().elidedText(title, Qt::ElideMiddle, targetTitleWidth)));
    targetMenuButton_->setToolTip(plainToolTip(title));
    // Rebuilt only when its items change, so that an open menu is not pulled from under the user.
    const auto items = state_->targetMenuItems();
    QString signature;
    for (const auto& item : items) {
        signature += QString::number(int(item.kind)) + (item.checked ? "+" : "-") + qs(item.title) + '\n' + qs(item.remoteTargetID) + '\n';
    }
    if (signature == targetMenuSignature_) return;
    targetMenuSignature_ = signature;
    QMenu* menu = targetMenuButton_->menu();
    menu->clear();
    for (const auto& item : items) {
        using Kind = ControlsViewState::TargetMenuItem::Kind;
        if (item.kind == Kind::separator) {
            menu->addSeparator();
            continue;
        }
        // Cut in the middle, where two names alike at either end still differ; whole in the tip.
        const QString entry = qs(item.title);
        const QString shown = menu->fontMetrics().elidedText(entry, Qt::ElideMiddle, targetMenuEntryWidth);
        QAction* action = menu->addAction(plainMenuText(shown));
        if (shown != entry) action->setToolTip(plainToolTip(entry));
        if (item.checked) action->setIcon(symbolIcon("checkmark", palette().color(QPalette::WindowText), 16));
        switch (item.kind) {
            case Kind::provider: {
                const PresentationProvider provider = item.provider;
                connect(action, &QAction::triggered, this, [this, provider] { state_->selectProvider(provider); });
                break;
            }
            case Kind::remoteTarget: {
                const std::string id = item.remoteTargetID;
                connect(action, &QAction::triggered, this, [this, id] { state_->selectRemoteTarget(id); });
                break;
            }
            case Kind::manageRemoteDevices:
                connect(action, &QAction::triggered, this, [this] { state_->setPresentingRemoteDevices(true); });
                break;
            case Kind::separator:
                break;
        }
    }
}

void ControlsView::syncWindowPicker() {
    const auto entries = state_->windowPickerEntries();
    QSignalBlocker block(windowPicker_);
    QString signature;
    for (const auto& entry : entries) {
        signature += QString::number(entry.tag) + (entry.separatorBefore ? "|" : " ") + qs(entry.text) + '\n';
    }
    if (signature != windowPickerSignature_) {
        windowPickerSignature_ = signature;
        windowPicker_->clear();
        for (const auto& entry : entries) {
            if (entry.separatorBefore) windowPicker_->insertSeparator(windowPicker_->count());
            windowPicker_->addItem(qs(entry.text), QVariant::fromValue<qlonglong>(entry.tag));
        }
    }
    const std::int64_t saved = state_->googleSlidesWindowID();
    int current = -1;
    for (int i = 0; i < windowPicker_->count(); ++i) {
        const QVariant tag = windowPicker_->itemData(i);
        if (tag.isValid() && tag.toLongLong() == saved) current = i;
    }
    windowPicker_->setCurrentIndex(current);
    refreshWindowsButton_->setIcon(symbolIcon("arrow.clockwise", palette().color(QPalette::WindowText), 16));
}

void ControlsView::syncSlidePicker() {
    const ControlsViewState& s = *state_;
    QSignalBlocker block(slidePicker_);
    const auto entries = s.slidePickerEntries();
    QString signature = qs(s.slideListTargetKey()) + '\n' + qs(s.slidePickerPlaceholder()) + '\n';
    for (const auto& entry : entries) signature += qs(entry.text) + '\n';
    if (signature != slidePickerSignature_) {
        slidePickerSignature_ = signature;
        slidePicker_->clear();
        slidePicker_->addItem(qs(s.slidePickerPlaceholder()));
        for (const auto& entry : entries) slidePicker_->addItem(qs(entry.text), QVariant::fromValue<qlonglong>(entry.number));
    }
    int current = 0;
    for (int i = 1; i < slidePicker_->count(); ++i) {
        if (s.selectedSlideNumber() == slidePicker_->itemData(i).toLongLong()) current = i;
    }
    slidePicker_->setCurrentIndex(current);
    slidePicker_->setEnabled(s.isSlidePickerEnabled());
    slideListMessage_->setFullText(qs(s.slideListMessage()));
    slideListMessage_->setVisible(!s.slideListMessage().empty());
}

void ControlsView::syncButtons() {
    const bool canSend = state_->canSendCommands();
    const bool emphasised = state_->isEmphasised(isActiveWindow());
    const QColor primary = palette().color(QPalette::WindowText);
    for (const auto& member : commandButtons_) {
        const QColor color = controlColor(member.color, palette());
        member.button->setEnabled(canSend);
        member.button->setIcon(symbolIcon(member.symbol, emphasised ? color : primary, 28));
        const QString radius = member.circular ? QStringLiteral("26px") : QStringLiteral("22px");
        QString style = QStringLiteral("QPushButton { border-radius: %1; border: 1.5px solid %2; background: %3; color: %4; }"
                                       "QPushButton:pressed { background: %5; }"
                                       "QPushButton:disabled { color: %6; border-color: %6; background: transparent; }")
                            .arg(radius, emphasised ? rgba(color, 0.55) : rgba(primary, 0.25),
                                 emphasised ? rgba(color, 0.14) : QStringLiteral("transparent"),
                                 (emphasised ? color : primary).name(), rgba(color, 0.3), rgba(primary, 0.3));
        member.button->setStyleSheet(style);
    }
}

}  // namespace pavonix
