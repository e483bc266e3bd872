// One permission on the welcome screen: its title and description, and at its end a spinner while
// it is read or requested, a check mark once granted, a "Not Installed" mark where the application
// does not exist, or otherwise a button that requests it ("Enable" for Accessibility, "Allow" for
// the others), disabled while the screen is busy.
#pragma once

#include <functional>
#include <string_view>

#include <QWidget>

#include "app/views/welcome/welcome_permissions_model.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedLayout;

namespace pavonix {

enum class WelcomeRowTrailing { spinner, granted, notInstalled, requestButton };

WelcomeRowTrailing welcomeRowTrailing(const WelcomePermissionItem& item);
// "Enable" for Accessibility, "Allow" for the others.
std::string_view welcomeRequestButtonTitle(WelcomePermission permission);

class WelcomePermissionRow : public QWidget {
    Q_OBJECT
public:
    // Under the Local Network row, which never offers a button: there is nothing to allow.
    static constexpr std::string_view localNetworkNote =
        "Linux asks no local-network permission: Pavonix reaches the local network without one.";
    static constexpr int trailingWidth = 72;

    WelcomePermissionRow(const WelcomePermissionItem& item, bool isBusy, std::function<void()> requestAction,
                         QWidget* parent = nullptr);

    const WelcomePermissionItem& item() const { return item_; }
    bool isBusy() const { return isBusy_; }
    void set(const WelcomePermissionItem& item, bool isBusy);

    WelcomeRowTrailing trailing() const { return welcomeRowTrailing(item_); }
    QPushButton* requestButton() const { return button_; }
    bool showsNote() const;

private:
    void sync();

    WelcomePermissionItem item_;
    bool isBusy_ = false;
    std::function<void()> requestAction_;
    QLabel* title_ = nullptr;
    QLabel* description_ = nullptr;
    QLabel* note_ = nullptr;
    QStackedLayout* trailingStack_ = nullptr;
    QProgressBar* spinner_ = nullptr;
    QLabel* granted_ = nullptr;
    QLabel* notInstalled_ = nullptr;
    QPushButton* button_ = nullptr;
};

}  // namespace pavonix
