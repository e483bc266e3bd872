#include "app/views/control_menu_hook.h"

namespace pavonix {

// Filled in by the Control menu; until then the main window has no Control menu.
void installControlMenu(QMainWindow&) {}

}  // namespace pavonix
