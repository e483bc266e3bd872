// One QApplication for every test of a views test program, with the offscreen platform unless the
// caller chose another, and the test thread as the main thread of the dispatch layer. The offscreen
// screen is a 1366 by 768 one, the smallest laptop screen the windows are made to fit. A run meant
// for one font family (PAVONIX_TEST_FONT_FAMILY, with a fontconfig file that shows it alone) fails
// when the widgets got another, so that it can never pass as a second run of the same fonts.
#include <cstdlib>

#include <QApplication>
#include <QFontInfo>
#include <QTemporaryFile>
#include <gtest/gtest.h>

#include "platform/dispatch/dispatch.h"

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
        if (qgetenv("QT_QPA_PLATFORM") == "offscreen" && screen_.open()) {
            screen_.write(R"({"screens":[{"name":"laptop","x":0,"y":0,"width":1366,"height":768,"logicalDpi":96}]})");
            screen_.close();
            qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + screen_.fileName().toLocal8Bit());
        }
        pavonix::dispatch::setMainThread();
        app_ = std::make_unique<QApplication>(argc_, argv_);
        if (const char* family = std::getenv("PAVONIX_TEST_FONT_FAMILY")) {
            const QString shown = QFontInfo(QApplication::font()).family();
            if (shown != QString::fromUtf8(family)) {
                ADD_FAILURE() << "the widgets are drawn with " << shown.toStdString() << ", not " << family;
            }
        }
    }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[11] = "views_test";
    char* argv_[2] = {name_, nullptr};
    QTemporaryFile screen_;
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] const auto* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
