// One QApplication for every test of a views test program, with the offscreen platform unless the
// caller chose another, and the test thread as the main thread of the dispatch layer.
#include <cstdlib>

#include <QApplication>
#include <gtest/gtest.h>

#include "platform/dispatch/dispatch.h"

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
        pavonix::dispatch::setMainThread();
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[11] = "views_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] const auto* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
