// The onboarding content of the main window: the program's icon and name, what it does, one row
// per permission with its live state, and "Continue", which is always enabled (Return presses
// it). Everything shown comes from the permissions model.
#pragma once

#include <functional>
#include <vector>

#include <QSize>
#include <QWidget>

#include "app/views/welcome/welcome_permission_row.h"
#include "app/views/welcome/welcome_permissions_model.h"

class QFrame;
class QLabel;
class QPushButton;

namespace pavonix {

class WelcomeView : public QWidget {
    Q_OBJECT
public:
    static constexpr std::string_view summary =
        "Control selected Google Slides windows from OSC, HTTP, and the built-in controls, and Keynote or "
        "PowerPoint through a Pavonix on a Mac added as a remote device.";
    // Where the screen's layout has room for it; the window grows beyond it for larger fonts.
    static constexpr QSize idealSize{700, 540};
    static constexpr QSize leastSize{630, 500};

    // The model must outlive the view.
    WelcomeView(WelcomePermissionsModel& permissionsModel, std::function<void()> continueAction,
                QWidget* parent = nullptr);

    const std::vector<WelcomePermissionRow*>& rows() const { return rows_; }
    // The dividers between rows (none below the last).
    const std::vector<QFrame*>& dividers() const { return dividers_; }
    QPushButton* continueButton() const { return continue_; }
    // The row that holds "Continue", last on the screen; a host that scrolls the screen may take
    // it out, to keep it in sight below.
    QWidget* footer() const { return footer_; }
    // A problem with the settings file or the pairing secrets, shown whole above the permission
    // list; hidden while empty.
    void setStorageNotice(const QString& text);
    QLabel* storageNotice() const { return storageNotice_; }

private:
    void sync();

    WelcomePermissionsModel& model_;
    std::function<void()> continueAction_;
    QLabel* storageNotice_ = nullptr;
    QWidget* list_ = nullptr;
    std::vector<WelcomePermissionRow*> rows_;
    std::vector<QFrame*> dividers_;
    QWidget* footer_ = nullptr;
    QPushButton* continue_ = nullptr;
    Observation itemsObservation_;
    Observation requestingObservation_;
};

}  // namespace pavonix
