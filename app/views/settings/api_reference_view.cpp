#include "app/views/settings/api_reference_view.h"

#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "app/views/controls/control_icons.h"
#include "app/views/controls/window_placement.h"

namespace pavonix {

namespace {

QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QFont scaled(QFont font, double factor, bool bold = false) {
    font.setPointSizeF(font.pointSizeF() * factor);
    if (bold) font.setWeight(QFont::DemiBold);
    return font;
}

QFont monospaced(double pointSize) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(pointSize);
    return font;
}

QLabel* secondaryLabel(const QString& text, const QFont& font, QWidget* parent) {
    QLabel* label = plainLabel(text, parent);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, controlColor(ControlColor::secondary, palette));
    label->setPalette(palette);
    return label;
}

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

void clear(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
}

}  // namespace

APIReferenceView::APIReferenceView(APIReference reference, QWidget* parent)
    : QDialog(parent), reference_(std::move(reference)) {
    setObjectName("apiReference");
    setWindowModality(Qt::WindowModal);
    fixSizeWithinScreen(this, QSize(sheetWidth, sheetHeight));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(22, 22, 22, 22);
    layout->setSpacing(18);

    auto* titleLine = new QHBoxLayout;
    title_ = new QLabel(this);
    title_->setFont(scaled(font(), 1.4, true));
    titleLine->addWidget(title_, 0, Qt::AlignBaseline);
    titleLine->addStretch(1);
    auto* done = new QPushButton(tr("Done"), this);
    done->setObjectName("done");
    done->setDefault(true);  // Return closes the sheet too
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    titleLine->addWidget(done, 0, Qt::AlignBaseline);
    layout->addLayout(titleLine);

    auto* connectionBlock = new QVBoxLayout;
    connectionBlock->setSpacing(8);
    auto* heading = new QLabel(tr("Connection"), this);
    heading->setFont(scaled(font(), 1.0, true));
    connectionBlock->addWidget(heading);
    connection_ = new QGridLayout;
    connection_->setHorizontalSpacing(8);
    connection_->setVerticalSpacing(8);
    connection_->setColumnMinimumWidth(0, 96);
    connection_->setColumnStretch(1, 1);
    connectionBlock->addLayout(connection_);
    layout->addLayout(connectionBlock);
    layout->addWidget(divider(this));

    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* content = new QWidget(scroll);
    auto* contentLayout = new QVBoxLayout(content);
    contentLayout->setContentsMargins(0, 0, 0, 0);
    contentLayout->setSpacing(14);
    table_ = new QGridLayout;
    table_->setHorizontalSpacing(14);
    table_->setVerticalSpacing(9);
    contentLayout->addLayout(table_);
    notes_ = new QVBoxLayout;
    notes_->setSpacing(14);
    contentLayout->addLayout(notes_);
    contentLayout->addStretch(1);
    scroll->setWidget(content);
    layout->addWidget(scroll, 1);
    rebuild();
}

void APIReferenceView::setReference(APIReference reference) {
    reference_ = std::move(reference);
    rebuild();
}

QList<QPair<QString, QString>> APIReferenceView::connectionRows() const {
    QList<QPair<QString, QString>> rows;
    for (int row = 0; row < connection_->rowCount(); ++row) {
        auto* label = connection_->itemAtPosition(row, 0);
        auto* value = connection_->itemAtPosition(row, 1);
        if (!label || !value) continue;
        rows.append({static_cast<QLabel*>(label->widget())->text(), static_cast<QLabel*>(value->widget())->text()});
    }
    return rows;
}

void APIReferenceView::rebuild() {
    const QString title = qs(reference_.title());
    title_->setText(title);
    setWindowTitle(title);

    clear(connection_);
    QWidget* owner = connection_->parentWidget();
    const QFont callout = scaled(font(), 0.92);
    int row = 0;  // a grid never gives rows back, so count afresh
    const auto addConnectionRow = [&](const QString& label, const QString& value) {
        auto* labelWidget = secondaryLabel(label, scaled(font(), 0.92, true), owner);
        labelWidget->setFixedWidth(96);
        connection_->addWidget(labelWidget, row, 0, Qt::AlignLeft | Qt::AlignTop);
        // The saved listen address is whatever the settings file holds.
        QLabel* valueWidget = plainLabel(value, owner);
        valueWidget->setFont(monospaced(callout.pointSizeF()));
        valueWidget->setWordWrap(true);
        valueWidget->setTextInteractionFlags(Qt::TextSelectableByMouse);
        connection_->addWidget(valueWidget, row++, 1);
    };
    addConnectionRow(tr("Listen mode"), qs(reference_.listenModeText()));
    addConnectionRow(tr("Port"), QString::number(reference_.port));
    QStringList hosts;
    for (const auto& host : reference_.hosts()) hosts << QString::fromStdString(host);
    if (!hosts.isEmpty()) addConnectionRow(tr("Host"), hosts.join(QStringLiteral(", ")));

    clear(table_);
    QWidget* content = table_->parentWidget();
    const auto& table = reference_.table();
    const int columns = static_cast<int>(table.columns.size());
    for (int column = 0; column < columns; ++column) {
        table_->addWidget(secondaryLabel(qs(table.columns[column]), scaled(font(), 0.85, true), content), 0, column);
    }
    table_->addWidget(divider(content), 1, 0, 1, columns);
    for (std::size_t row = 0; row < table.rows.size(); ++row) {
        for (int column = 0; column < columns; ++column) {
            QLabel* cell = plainLabel(qs(table.rows[row][column]), content);
            cell->setFont(column == 0 ? callout : monospaced(callout.pointSizeF()));
            // Long commands take more lines; the code columns fit the sheet's width unwrapped
            // (a wrapped cell beside a one-line command would be clipped to one line).
            cell->setWordWrap(column == 0);
            cell->setTextInteractionFlags(Qt::TextSelectableByMouse);
            table_->addWidget(cell, static_cast<int>(row) + 2, column, Qt::AlignLeft | Qt::AlignTop);
        }
    }
    table_->setColumnStretch(columns - 1, 1);

    clear(notes_);
    for (const auto note : reference_.notes()) {
        auto* label = secondaryLabel(qs(note), callout, content);
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        notes_->addWidget(label);
    }
}

}  // namespace pavonix
