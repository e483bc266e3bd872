// One QApplication for every test of a views test program, with the offscreen platform unless the
// caller chose another, and the test thread as the main thread of the dispatch layer. The offscreen
// screen is a 1366 by 768 one, the smallest laptop screen the windows are made to fit.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <gtest/gtest.h>

#include "platform/dispatch/dispatch.h"

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
        if (std::strcmp(std::getenv("QT_QPA_PLATFORM"), "offscreen") == 0) {
            screenFile_ = QDir::tempPath().toStdString() + "/pavonix-views-screen-" + std::to_string(getpid()) + ".json";
            std::ofstream(screenFile_) << R"({"screens":[{"name":"laptop","x":0,"y":0,"width":1366,"height":768,)"
                                       << R"("logicalDpi":96,"logicalBaseDpi":96,"dpr":1}]})";
            setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + screenFile_).c_str(), 1);
        }
        pavonix::dispatch::setMainThread();
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override {
        app_.reset();
        if (!screenFile_.empty()) std::remove(screenFile_.c_str());
    }

private:
    int argc_ = 1;
    char name_[11] = "views_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
    std::string screenFile_;
};

[[maybe_unused]] const auto* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
