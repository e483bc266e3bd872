#include "app/views/bindings/setting_binding.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QSpinBox>

#include "app/views/testing/views_test_support.h"

namespace pavonix {
namespace {

using SettingBindingTest = testing::SettingsTest;

// What the store itself promises (no change at subscription, one per write) is its own test's;
// here: the binding passes it to handlers and the notifier, also after being moved.
TEST_F(SettingBindingTest, HandlersAndNotifierHearEveryLaterChange) {
    SettingBinding<std::int64_t> port(settings::httpPort, store());
    std::vector<std::int64_t> seen;
    int emitted = 0;
    port.onChange([&](std::int64_t value) { seen.push_back(value); });
    QObject::connect(port.notifier(), &SettingNotifier::changed, [&] { ++emitted; });
    EXPECT_TRUE(port.setValue(9001));
    EXPECT_FALSE(port.setValue(9001));
    SettingBinding<std::int64_t> moved = std::move(port);
    store().setValue(settings::httpPort, std::int64_t{1});
    testing::settle();
    EXPECT_EQ(seen, std::vector<std::int64_t>({9001, 1}));
    EXPECT_EQ(emitted, 2);
    EXPECT_EQ(moved.value(), 1);
}

TEST_F(SettingBindingTest, EditorsFollowTheSettingAndStoreEdits) {
    SettingBinding<bool> enabled(settings::httpEnabled, store());
    SettingBinding<std::string> name(settings::pavonixName, store());
    SettingBinding<std::int64_t> port(settings::httpPort, store());
    QCheckBox box;
    QLineEdit edit;
    QSpinBox spin;
    spin.setRange(1, 65535);
    bindCheckable(enabled, &box);
    bindText(name, &edit);
    bindNumber(port, &spin);
    EXPECT_EQ(spin.value(), 8090);

    box.setChecked(false);
    EXPECT_FALSE(store().value(settings::httpEnabled));
    edit.setText("Stage left");
    EXPECT_EQ(store().value(settings::pavonixName), "") << "stored when editing finishes";
    emit edit.editingFinished();
    EXPECT_EQ(store().value(settings::pavonixName), "Stage left");
    spin.setValue(9000);
    EXPECT_EQ(store().value(settings::httpPort), 9000);

    store().setValue(settings::httpEnabled, true);
    store().setValue(settings::pavonixName, std::string("Hall"));
    store().setValue(settings::httpPort, std::int64_t{70000});  // outside the editor's range: shown clamped
    testing::settle();
    EXPECT_TRUE(box.isChecked());
    EXPECT_EQ(edit.text(), "Hall");
    EXPECT_EQ(spin.value(), 65535);
    EXPECT_EQ(store().value(settings::httpPort), 70000) << "showing a value never writes it back";
}

TEST_F(SettingBindingTest, EitherSideMayGoFirst) {
    auto box = std::make_unique<QCheckBox>();
    {
        SettingBinding<bool> enabled(settings::httpEnabled, store());
        bindCheckable(enabled, box.get());
    }
    box->setChecked(false);  // the binding is gone: nothing is stored
    EXPECT_EQ(settings_.defaults().storedObject("httpEnabled"), std::nullopt);

    SettingBinding<bool> enabled(settings::httpEnabled, store());
    bindCheckable(enabled, box.get());
    box.reset();
    store().setValue(settings::httpEnabled, false);
    testing::settle();  // must not touch the destroyed box
    EXPECT_FALSE(enabled.value());
}

}  // namespace
}  // namespace pavonix
