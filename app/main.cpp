// Pavonix: drive a running slide show from a phone, a browser, an OSC controller or another Pavonix.
#include <QApplication>
#include <QEvent>
#include <QMainWindow>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/dispatch/dispatch.h"

namespace {

// Without any display the program still serves the network bridges, on Qt's offscreen platform.
void chooseOffscreenWithoutDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform) return;
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((x && *x) || (wayland && *wayland)) return;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::fprintf(stderr, "Pavonix: no display found, running on the offscreen platform.\n");
}

// Drains the dispatch main queue from Qt's event loop.
class MainQueuePump : public QObject {
public:
    static constexpr QEvent::Type kDrain = QEvent::Type(QEvent::User + 1);
    bool event(QEvent* e) override {
        if (e->type() != kDrain) return QObject::event(e);
        pending_.store(false);
        pavonix::dispatch::drainMainQueue();
        return true;
    }
    void post() {
        if (!pending_.exchange(true)) QCoreApplication::postEvent(this, new QEvent(kDrain));
    }

private:
    std::atomic<bool> pending_{false};
};

}  // namespace

int main(int argc, char** argv) {
    chooseOffscreenWithoutDisplay();
    QApplication app(argc, argv);
    QApplication::setApplicationName("Pavonix");
    QApplication::setApplicationDisplayName("Pavonix");

    pavonix::dispatch::setMainThread();
    MainQueuePump pump;
    pavonix::dispatch::setMainQueuePoster([&pump] { pump.post(); });
    pump.post();

    QMainWindow window;
    window.setObjectName("main");
    window.setWindowTitle("Pavonix");
    window.resize(700, 540);
    window.show();

    int code = app.exec();
    pavonix::dispatch::setMainQueuePoster(nullptr);
    return code;
}
