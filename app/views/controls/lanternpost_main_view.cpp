#include "app/views/controls/lanternpost_main_view.h"

#include <QAction>
#include <QVBoxLayout>

#include "app/views/controls/control_icons.h"

namespace pavonix {

LanternpostMainView::LanternpostMainView(ControlsModel& model, SettingsStore& store, NotificationCenter& notifications,
                                         QWidget* parent)
    : QWidget(parent), state_(model, store) {
    setObjectName("mainView");
    setWindowTitle(tr("Pavonix"));
    setMinimumSize(minimumWidth, minimumHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    controls_ = new ControlsView(model, store, /*isActive=*/true, notifications, this);
    layout->addWidget(controls_);

    settingsAction_ = new QAction(symbolIcon("gearshape", palette().color(QPalette::WindowText), 18), tr("Settings"), this);
    settingsAction_->setObjectName("settingsAction");
    settingsAction_->setToolTip(tr("Settings"));
    connect(settingsAction_, &QAction::triggered, this, &LanternpostMainView::settingsRequested);
}

LanternpostMainView::~LanternpostMainView() = default;

}  // namespace pavonix
