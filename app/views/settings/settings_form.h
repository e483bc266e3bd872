// The pieces the settings window's forms are made of: a titled section (a header line over a
// framed group of labelled rows), caption texts, and the port field.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QString>

class QFormLayout;
class QHBoxLayout;

namespace pavonix {

// A header line (the title, then an optional trailing widget such as a reference button) over a
// framed group of rows.
class FormSection : public QWidget {
public:
    explicit FormSection(const QString& title, QWidget* parent = nullptr);

    // Puts a widget (made with this section as parent) at the trailing end of the header line.
    void setHeaderAccessory(QWidget* accessory);

    QFormLayout* form() const { return form_; }
    // A labelled row; the label's accessible name is the label text.
    void addRow(const QString& label, QWidget* content);
    // A row across the whole width.
    void addRow(QWidget* content);

private:
    QHBoxLayout* header_ = nullptr;
    QFormLayout* form_ = nullptr;
};

// Gives the label column of every section within `page` the width of the widest label among
// them, hidden rows included, so that the fields of all the sections start on one line, and stay
// there while rows come and go.
void alignLabelColumns(QWidget* page);

// A caption in the secondary colour, or in orange as a warning.
QLabel* secondaryCaption(const QString& text, QWidget* parent);
void setCaptionWarning(QLabel* label, bool warning);

// A port's text field, 92 points wide. It shows whether its text names a port (a whole number
// from 1 to 65535) as it is typed: text that does not is drawn in red with a red border and
// says why in its tool tip and accessible description. The border is painted over the usual
// frame, so the field keeps its size and the rows below stay where they are.
class PortField : public QLineEdit {
    Q_OBJECT
public:
    explicit PortField(QWidget* parent = nullptr);
    // Shows the stored port; the field is valid again.
    void showPort(std::int64_t port);
    bool isMarkedInvalid() const { return invalid_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void markValidity();
    bool invalid_ = false;
};

}  // namespace pavonix
