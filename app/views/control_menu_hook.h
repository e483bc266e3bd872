// The hook through which the "Control" main-menu entry is put into the main window's menu bar.
// The application calls it once when it has finished launching and again each time it becomes
// active, so an implementation must be idempotent (install once, then only bring its items up
// to date). It reaches the model through LanternpostModel::shared().
#pragma once

class QMainWindow;

namespace pavonix {

void installControlMenu(QMainWindow& mainWindow);

}  // namespace pavonix
