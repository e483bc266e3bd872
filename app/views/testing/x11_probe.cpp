// Test tool for the X11 checks of the main window (never installed):
//   x11_probe grab FILE     saves a picture of the whole screen of $DISPLAY as PNG
//   x11_probe window TITLE  opens a window with that title and prints the keysym of every key
//                           press it receives, one hexadecimal number a line, until killed
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include "platform/x11/testing/test_window.h"

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "grab") == 0) {
        QGuiApplication app(argc, argv);
        QScreen* screen = QGuiApplication::primaryScreen();
        if (!screen || !screen->grabWindow(0).save(QString::fromLocal8Bit(argv[2]), "PNG")) return 1;
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "window") == 0) {
        const char* display = std::getenv("DISPLAY");
        if (!display) return 2;
        pavonix::x11::testing::TestWindow window(display, {.netWmName = argv[2], .wmName = argv[2]});
        if (!window.waitUntilManaged()) return 3;
        std::printf("window 0x%x\n", static_cast<unsigned>(window.id()));
        std::fflush(stdout);
        std::size_t seen = 0;
        for (;;) {
            window.pump();
            const auto keys = window.pressedKeysyms();
            for (; seen < keys.size(); ++seen) std::printf("key 0x%x\n", keys[seen]);
            std::fflush(stdout);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    std::fprintf(stderr, "usage: x11_probe grab FILE | window TITLE\n");
    return 2;
}
