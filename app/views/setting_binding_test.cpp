#include "app/views/setting_binding.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QSpinBox>

#include "app/views/testing/views_test_support.h"

namespace pavonix {
namespace {

const SettingsStore::Key<bool> enabledKey{"httpEnabled", true};
const SettingsStore::Key<std::string> nameKey{"pavonixName", ""};
const SettingsStore::Key<std::int64_t> portKey{"httpPort", 8090};

class SettingBindingTest : public testing::SettingsTest {
protected:
    SettingsStore* store_ = &store();
};

// What the store itself promises (no change at subscription, one per write) is its own test's;
// here: the binding passes it to handlers and the notifier, also after being moved.
TEST_F(SettingBindingTest, HandlersAndNotifierHearEveryLaterChange) {
    SettingBinding<std::int64_t> port(portKey, *store_);
    std::vector<std::int64_t> seen;
    int emitted = 0;
    port.onChange([&](std::int64_t value) { seen.push_back(value); });
    QObject::connect(port.notifier(), &SettingNotifier::changed, [&] { ++emitted; });
    EXPECT_TRUE(port.setValue(9001));
    EXPECT_FALSE(port.setValue(9001));
    SettingBinding<std::int64_t> moved = std::move(port);
    store_->setValue(portKey, std::int64_t{1});
    testing::settle();
    EXPECT_EQ(seen, std::vector<std::int64_t>({9001, 1}));
    EXPECT_EQ(emitted, 2);
    EXPECT_EQ(moved.value(), 1);
}

TEST_F(SettingBindingTest, EditorsFollowTheSettingAndStoreEdits) {
    SettingBinding<bool> enabled(enabledKey, *store_);
    SettingBinding<std::string> name(nameKey, *store_);
    SettingBinding<std::int64_t> port(portKey, *store_);
    QCheckBox box;
    QLineEdit edit;
    QSpinBox spin;
    spin.setRange(1, 65535);
    bindCheckable(enabled, &box);
    bindText(name, &edit);
    bindNumber(port, &spin);
    EXPECT_EQ(spin.value(), 8090);

    box.setChecked(false);
    EXPECT_FALSE(store_->value(enabledKey));
    edit.setText("Stage left");
    EXPECT_EQ(store_->value(nameKey), "") << "stored when editing finishes";
    emit edit.editingFinished();
    EXPECT_EQ(store_->value(nameKey), "Stage left");
    spin.setValue(9000);
    EXPECT_EQ(store_->value(portKey), 9000);

    store_->setValue(enabledKey, true);
    store_->setValue(nameKey, std::string("Hall"));
    store_->setValue(portKey, std::int64_t{70000});  // outside the editor's range: shown clamped
    testing::settle();
    EXPECT_TRUE(box.isChecked());
    EXPECT_EQ(edit.text(), "Hall");
    EXPECT_EQ(spin.value(), 65535);
    EXPECT_EQ(store_->value(portKey), 70000) << "showing a value never writes it back";
}

TEST_F(SettingBindingTest, EitherSideMayGoFirst) {
    auto box = std::make_unique<QCheckBox>();
    {
        SettingBinding<bool> enabled(enabledKey, *store_);
        bindCheckable(enabled, box.get());
    }
    box->setChecked(false);  // the binding is gone: nothing is stored
    EXPECT_EQ(settings_.defaults().storedObject("httpEnabled"), std::nullopt);

    SettingBinding<bool> enabled(enabledKey, *store_);
    bindCheckable(enabled, box.get());
    box.reset();
    store_->setValue(enabledKey, false);
    testing::settle();  // must not touch the destroyed box
    EXPECT_FALSE(enabled.value());
}

}  // namespace
}  // namespace pavonix
