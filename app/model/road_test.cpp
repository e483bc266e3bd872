// One request down every layer, without X: a real HTTP server on a free loopback port, the real
// model, and the Google Slides controller over a recording window system. A broken wire anywhere
// between the socket and the key stroke fails it.
#include <gtest/gtest.h>

#include <future>

#include "app/control/google_slides_controller.h"
#include "app/control/keynote_controller.h"
#include "app/control/power_point_controller.h"
#include "app/http/testing/loopback_exchange.h"
#include "app/model/lanternpost_model.h"
#include "app/settings/settings_keys.h"
#include "platform/dispatch/testing/main_queue_scope.h"
#include "platform/x11/testing/recording_window_system.h"
#include "settings_store/testing/temporary_settings.h"

namespace pavonix {
namespace {

constexpr x11::WindowId kDeck = 0x600001;

TEST(RoadTest, PostShowNextGivesOneRightKeyToTheSavedWindow) {
    testing::TemporarySettings settings;
    auto windows = std::make_shared<x11::RecordingWindowSystem>();
    x11::WindowInfo deck;
    deck.id = kDeck;
    deck.title = "Deck - Google Slides";
    windows->setWindows({deck});
    auto& store = settings.store();
    store.setValue(settings::presentationProvider, PresentationProvider::googleSlides);
    store.setValue(settings::googleSlidesWindowID, std::int64_t{kDeck});
    store.setValue(settings::listenAddressMode, network::NetworkListenMode::localhost);
    store.setValue(settings::oscEnabled, false);

    LanternpostModelDependencies deps;
    deps.settings = &store;
    deps.keynote = std::make_shared<KeynoteController>();
    deps.powerPoint = std::make_shared<PowerPointController>();
    deps.googleSlides = std::make_shared<GoogleSlidesController>(windows, [&store] {
        return store.value(settings::googleSlidesWindowID);
    });
    deps.availableWindows = [] { return std::vector<PresentationWindowTarget>{}; };
    deps.scanInterfaces = [] { return std::vector<network::NetworkInterfaceAddress>{}; };
    deps.now = dateNow;
    deps.readKeychainItem = [](std::string_view, std::string_view) { return std::optional<Bytes>{}; };
    deps.deleteKeychainItem = [](const KeychainQuery&) { return keychain::itemNotFound; };
    std::shared_ptr<http::HTTPBridgeServer> server;
    deps.makeHTTPServer = [&server](HTTPServerParts parts) {
        parts.configuration.port = 0;  // the stored port stays valid; the kernel picks a free one
        auto made = makeRealHTTPServer(std::move(parts));
        server = std::static_pointer_cast<HTTPServerAdapter>(made)->server();
        return made;
    };

    testing::MainQueueScope mainQueue;
    auto model = LanternpostModel::make(std::move(deps));
    ASSERT_TRUE(dispatch::runMainQueue([&] { return model->httpStatus.get().state == BridgeServerStatus::State::running; }))
        << model->httpStatus.get().detail;

    auto reply = std::async(std::launch::async, [port = server->boundPort()] {
        return testing::loopbackExchange(port, "POST /show/next HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n");
    });
    ASSERT_TRUE(dispatch::runMainQueue([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_NE(reply.get().find(" 200 OK\r\n"), std::string::npos);
    using Typed = x11::RecordingWindowSystem::Typed;
    EXPECT_EQ(windows->typed(), (std::vector<Typed>{{kDeck, {x11::keysym::Right}}}));
    ASSERT_TRUE(model->lastCommand.get());
    EXPECT_EQ(model->lastCommand.get()->source, CommandSource::http);
    EXPECT_EQ(model->lastCommand.get()->result.command, "Show next");
    model.reset();
}

}  // namespace
}  // namespace pavonix
