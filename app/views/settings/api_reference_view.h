// The API reference sheet: the connection facts, the table of OSC addresses or HTTP routes and
// three notes, for the listen settings it is built with. "Done" (or Return) closes it; the host
// builds a fresh one for every presentation and hands it new values while it is open.
#pragma once

#include <QDialog>

#include "app/views/settings/api_reference.h"

class QGridLayout;
class QLabel;
class QVBoxLayout;

namespace pavonix {

class APIReferenceView : public QDialog {
    Q_OBJECT
public:
    static constexpr int sheetWidth = 680;
    static constexpr int sheetHeight = 620;

    explicit APIReferenceView(APIReference reference, QWidget* parent = nullptr);

    const APIReference& reference() const { return reference_; }
    void setReference(APIReference reference);

    // The table: column titles in row 0, a divider in row 1, then one row per command.
    QGridLayout* tableGrid() const { return table_; }
    // The connection rows shown, as label and value.
    QList<QPair<QString, QString>> connectionRows() const;

private:
    void rebuild();

    APIReference reference_;
    QLabel* title_ = nullptr;
    QGridLayout* connection_ = nullptr;
    QGridLayout* table_ = nullptr;
    QVBoxLayout* notes_ = nullptr;
};

}  // namespace pavonix
