#include "settings_store/settings_store.h"

#include <thread>

#include <gtest/gtest.h>

#include "platform/dispatch/testing/main_queue_scope.h"
#include "settings_store/testing/temporary_settings.h"

namespace pavonix {

// A record type that opts in the way the program's own do. Raw-value enumerations are pinned with
// the program's own in settings_test.
namespace {

// Dates as seconds since 2001-01-01, as the program's records store them.
struct Pairing {
    std::string id;
    std::string name;
    double createdAt = 0;
    bool operator==(const Pairing&) const = default;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Pairing, id, name, createdAt)

}  // namespace

template <>
struct SettingsStore::Serializable<Pairing> : SettingsStore::JsonConvertible<Pairing> {};

namespace {

using nlohmann::json;

const SettingsStore::Key<bool> enabledKey{"enabled", true};
const SettingsStore::Key<std::int64_t> portKey{"port", 8090};
const SettingsStore::Key<std::string> nameKey{"name", ""};
const SettingsStore::Key<std::vector<Pairing>> pairingsKey{"pairings", {}};

Pairing pairing(std::string id, double secondsSince2001) { return {std::move(id), "Phone", secondsSince2001}; }

class SettingsStoreTest : public ::testing::Test {
protected:
    testing::MainQueueScope mainQueue_;
    testing::TemporarySettings settings_;
    defaults::UserDefaults& defaults() { return settings_.defaults(); }
    SettingsStore& store() { return settings_.store(); }
};

TEST_F(SettingsStoreTest, StoredForms) {
    store().setValue(enabledKey, false);
    store().setValue(portKey, std::int64_t{1} << 40);
    store().setValue(nameKey, std::string("Bühne"));
    store().setValue(pairingsKey, {pairing("lpp_a", 1.5), pairing("lpp_b", 400000000.5)});

    EXPECT_EQ(settings_.savedFile(),
              json({{"enabled", false},
                    {"port", std::int64_t{1} << 40},
                    {"name", "Bühne"},
                    {"pairings", {R"({"createdAt":1.5,"id":"lpp_a","name":"Phone"})",
                                  R"({"createdAt":400000000.5,"id":"lpp_b","name":"Phone"})"}}}));
    // Reading them back is the defaults store's test (the file) and the cases below (the decoding).
}

TEST_F(SettingsStoreTest, UnreadableStoredFormsReadAsTheDefaultAndListsWrittenBackKeepThem) {
    defaults().set("enabled", 0);
    defaults().set("port", "8091");
    defaults().set("name", 12);
    EXPECT_TRUE(store().value(enabledKey));
    EXPECT_EQ(store().value(portKey), 8090);
    EXPECT_EQ(store().value(nameKey), "");
    defaults().set("port", 1.5);  // not a whole number
    EXPECT_EQ(store().value(portKey), 8090);
    defaults().set("pairings", "not a list");
    EXPECT_TRUE(store().value(pairingsKey).empty());

    // In a list, only the elements that fail to decode are dropped. Written back, they stay
    // unchanged and in place, and a readable one left alone keeps a field unknown here.
    const std::string newer = R"({"createdAt":2,"id":"lpp_b","name":"Phone","volume":3})";
    const json unreadable[] = {R"({"createdAt":2,"id":"lpp_x"})", "{not json", 17,
                               R"({"createdAt":"yesterday","id":"lpp_y","name":"Phone"})"};
    defaults().set("pairings", json::array({R"({"createdAt":1,"id":"lpp_a","name":"Phone"})", unreadable[0], unreadable[1],
                                            unreadable[2], unreadable[3], newer,
                                            json({{"createdAt", 3}, {"id", "lpp_c"}, {"name", "Phone"}})}));
    EXPECT_EQ(store().value(pairingsKey), std::vector<Pairing>({pairing("lpp_a", 1), pairing("lpp_b", 2), pairing("lpp_c", 3)}));
    EXPECT_TRUE(store().changeList(pairingsKey, [](StoredRecordList<Pairing>& list) {
        list.eraseIf([](const Pairing& p) { return p.id == "lpp_a"; });
        list.findFirst([](const Pairing& p) { return p.id == "lpp_c"; })->name = "Tablet";
        list.append(pairing("lpp_d", 4));
    }));
    EXPECT_EQ(settings_.savedFile()["pairings"],
              json::array({unreadable[0], unreadable[1], unreadable[2], unreadable[3], newer,
                           R"({"createdAt":3.0,"id":"lpp_c","name":"Tablet"})", R"({"createdAt":4.0,"id":"lpp_d","name":"Phone"})"}));
}

// On the main thread: pinned by the writers on other threads below.
TEST_F(SettingsStoreTest, ChangeDelivery) {
    std::vector<std::int64_t> ports;
    std::vector<bool> enabled;
    auto portSubscription = store().observe(portKey, [&](std::int64_t port) { ports.push_back(port); });
    auto enabledSubscription = store().observe(enabledKey, [&](bool value) { enabled.push_back(value); });

    // Nothing is told before the main queue runs, and an equal value is no change. Each change is
    // told with the value it set, a change there and back included; each subscriber hears only its
    // own key. Removing a stored false is a change (to the default true); writing the default where
    // nothing is stored is none.
    EXPECT_TRUE(store().setValue(portKey, 9000));
    EXPECT_FALSE(store().setValue(portKey, 9000));
    EXPECT_TRUE(ports.empty());
    store().setValue(portKey, 1);
    store().setValue(enabledKey, false);
    store().setValue(portKey, 9000);
    store().removeValue(enabledKey);
    store().setValue(enabledKey, true);
    dispatch::drainMainQueue();
    EXPECT_EQ(ports, std::vector<std::int64_t>({9000, 1, 9000}));
    EXPECT_EQ(enabled, std::vector<bool>({false, true}));

    // Writes through the defaults store itself are seen too; cancelled subscribers hear nothing.
    enabledSubscription.cancel();
    defaults().set("port", 9002);
    defaults().set("enabled", false);
    dispatch::drainMainQueue();
    EXPECT_EQ(ports, std::vector<std::int64_t>({9000, 1, 9000, 9002}));
    EXPECT_EQ(enabled, std::vector<bool>({false, true}));
}

TEST_F(SettingsStoreTest, TheValuePresentAtSubscriptionIsNoChange) {
    store().setValue(nameKey, "before");
    std::vector<std::string> names;
    auto early = store().observe(nameKey, [&](const std::string& name) { names.push_back("early " + name); });
    store().setValue(nameKey, "during");
    // Subscribed while the report of "during" still waits in the main queue.
    auto late = store().observe(nameKey, [&](const std::string& name) { names.push_back("late " + name); });
    dispatch::drainMainQueue();
    EXPECT_EQ(names, std::vector<std::string>({"early during"}));
    store().setValue(nameKey, "after");
    dispatch::drainMainQueue();
    EXPECT_EQ(names, std::vector<std::string>({"early during", "early after", "late after"}));
}

TEST_F(SettingsStoreTest, HandlersMayCancelWriteAndSubscribe) {
    std::vector<std::string> seen;
    SettingsStore::Subscription second;
    SettingsStore::Subscription first = store().observe(nameKey, [&](const std::string& name) {
        seen.push_back("first " + name);
        first.cancel();
        second.cancel();
        store().setValue(portKey, 1);
    });
    second = store().observe(nameKey, [&](const std::string& name) { seen.push_back("second " + name); });
    std::vector<std::int64_t> ports;
    auto portSubscription = store().observe(portKey, [&](std::int64_t port) { ports.push_back(port); });
    store().setValue(nameKey, "x");
    dispatch::drainMainQueue();
    dispatch::drainMainQueue();
    EXPECT_EQ(seen, std::vector<std::string>({"first x"}));
    EXPECT_EQ(ports, std::vector<std::int64_t>({1}));
    EXPECT_FALSE(first.active());
}

TEST_F(SettingsStoreTest, WritersOnOtherThreadsAreToldOnTheMainThread) {
    std::vector<std::vector<Pairing>> seen;
    auto subscription = store().observe(pairingsKey, [&](const std::vector<Pairing>& value) {
        EXPECT_TRUE(dispatch::isMainThread());
        seen.push_back(value);
    });
    std::thread writer([&] {
        for (int i = 1; i <= 50; ++i) store().setValue(pairingsKey, std::vector<Pairing>(i, pairing("lpp", i)));
    });
    ASSERT_TRUE(dispatch::runMainQueue([&] { return seen.size() == 50; }));
    writer.join();
    dispatch::drainMainQueue();
    ASSERT_EQ(seen.size(), 50u);
    for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].size(), i + 1);

    // Racing writers: whatever order their reports arrive in, the last one told is the value kept.
    std::vector<std::int64_t> ports;
    auto portSubscription = store().observe(portKey, [&](std::int64_t port) { ports.push_back(port); });
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < 200; ++i) store().setValue(portKey, w * 1000 + i);
        });
    }
    for (auto& thread : writers) thread.join();
    dispatch::drainMainQueue();
    ASSERT_FALSE(ports.empty());
    EXPECT_EQ(ports.back(), store().value(portKey));
}

}  // namespace
}  // namespace pavonix
