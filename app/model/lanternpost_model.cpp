#include "app/model/lanternpost_model.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <utility>

#include "app/core/text.h"
#include "app/model/default_pavonix_name.h"
#include "app/settings/settings_keys.h"
#include "platform/crypto/base64.h"

namespace pavonix {

namespace {

using State = BridgeServerStatus::State;

BridgeServerStatus failedStatus(std::string_view detail) { return {State::failed, std::string(detail)}; }

bool isValidPort(std::int64_t port) { return port >= 1 && port <= 65535; }

// Whatever a remote call reports, as the text after the target's label.
std::string describe(const std::exception& error) {
    std::string text = error.what();
    return text.empty() ? "Unknown error." : text;
}

constexpr std::string_view unreadableRemoteReply = "The remote Pavonix returned an unreadable response.";
constexpr std::string_view noRemoteClient = "Remote devices are not available in this build.";
// Longer than another copy's write of the settings file takes, far shorter than the store's own
// wait for it: the main thread serves every peer and the window.
constexpr auto settingsWriteWait = std::chrono::milliseconds(100);
// "Last seen" is shown to the minute.
constexpr auto lastSeenSpacing = std::chrono::minutes(1);
constexpr std::string_view settingsBusyMessage = "another write of the settings file is under way; try again";

// Record changes by `id`: the store applies them again, at its write, to the list in the file.
template <class R>
auto appended(R record) {
    return [record = std::move(record)](StoredRecordList<R>& list) { list.append(record); };
}

template <class R>
auto removed(std::string id) {
    return [id = std::move(id)](StoredRecordList<R>& list) { list.eraseIf([&](const R& record) { return record.id == id; }); };
}

// Changes the record with this `id`, where the list holds one.
template <class R, class Change>
auto changed(std::string id, Change change) {
    return [id = std::move(id), change = std::move(change)](StoredRecordList<R>& list) {
        if (R* found = list.findFirst([&](const R& record) { return record.id == id; })) change(*found);
    };
}

}  // namespace

// ---- Life cycle ---------------------------------------------------------------------------------

LanternpostModel::LanternpostModel(LanternpostModelDependencies dependencies) : deps_(std::move(dependencies)) {
    const auto require = [](bool present, const char* part) {
        if (!present) dispatch::preconditionFailure((std::string("LanternpostModel needs ") + part).c_str());
    };
    require(deps_.settings, "a settings store");
    require(deps_.keynote && deps_.powerPoint && deps_.googleSlides, "all three presentation controllers");
    require(bool(deps_.availableWindows), "a window list");
    require(bool(deps_.scanInterfaces), "an interface scan");
    require(bool(deps_.now), "a clock");
    require(deps_.readKeychainItem && deps_.deleteKeychainItem, "a keychain");
    // Holds the keychain function alone: the server calls it on a worker thread.
    bluetoothSecrets_ = std::make_shared<bluetooth::BluetoothSecretCache>(
        [read = deps_.readKeychainItem](const std::string& pairID) -> std::optional<Bytes> {
            auto found = read(bluetoothAuthKeychainService, pairID);
            if (found.status != keychain::success) return std::nullopt;
            return std::move(found.data);
        });
}

std::shared_ptr<LanternpostModel> LanternpostModel::make(LanternpostModelDependencies dependencies) {
    std::shared_ptr<LanternpostModel> model(new LanternpostModel(std::move(dependencies)));
    model->startUp();
    return model;
}

LanternpostModel::~LanternpostModel() {
    if (pollTimer_) pollTimer_->cancel();
    if (writeStatusListener_) settings().defaults().removeWriteStatusListener(*writeStatusListener_);
    stopServers();
}

void LanternpostModel::startUp() {
    // Before any server starts: an unusable settings file must not leave the HTTP server unsigned.
    settings::requireSigningAfterLoadProblem(settings());
    watchStorage();
    oscStatus.set(BridgeServerStatus::stopped());
    httpStatus.set(BridgeServerStatus::stopped());
    bluetoothStatus.set(BridgeServerStatus::stopped());
    rescanInterfaces();
    refreshStatus();
    rescanInterfaces();
    restartOSCServer();
    restartHTTPServer();
    restartBluetoothServer();
    watchHTTPAuthentication();
    refreshStatus();
    schedulePoll();
}

void LanternpostModel::schedulePoll() {
    pollTimer_ = dispatch::Source::makeTimer(dispatch::mainQueue());
    std::weak_ptr<LanternpostModel> weak = weak_from_this();
    pollTimer_->setEventHandler([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->refreshStatus();
        self->rescanInterfaces();
        // Also heard at once through the store's report; this catches whatever a report missed.
        self->showSettingsFileStatus();
        // A Secret Service that went away, or came back, or a keychain file mended by hand.
        self->httpSecretsRetry_ = true;
        self->checkSecrets();
        if (self->pollTimer_ && !self->pollTimer_->isCancelled()) self->pollTimer_->setTimer(self->deps_.pollInterval);
    });
    pollTimer_->setTimer(deps_.pollInterval);
    pollTimer_->resume();
}

// ---- Commands -----------------------------------------------------------------------------------

PresentationController& LanternpostModel::controller(PresentationProvider provider) const {
    switch (provider) {
        case PresentationProvider::powerPoint:
            return *deps_.powerPoint;
        case PresentationProvider::googleSlides:
            return *deps_.googleSlides;
        case PresentationProvider::keynote:
            break;
    }
    return *deps_.keynote;
}

void LanternpostModel::refreshStatus() {
    const PresentationProvider provider = currentPresentationProvider();
    if (provider == PresentationProvider::googleSlides) googleSlidesWindowTargets.set(deps_.availableWindows());
    presentationApplicationRunning.set(controller(provider).isAvailable(targetDescription(provider)));
}

void LanternpostModel::record(CommandSource source, CommandResult result) {
    lastCommand.set(CommandLogEntry{source, std::move(result), deps_.now()});
}

CommandResult LanternpostModel::execute(const PresentationCommand& command, CommandSource source) {
    if (command.kind() == PresentationCommand::Kind::goToSlideNamed && normalizedSlideName(command.slideName()).empty()) {
        auto result = CommandResult::failed(command, std::string(slideNameRequiredMessage));
        record(source, result);
        return result;
    }
    const PresentationProvider provider = currentPresentationProvider();
    CommandResult result = controller(provider).perform(command, targetDescription(provider));
    record(source, result);
    refreshStatus();
    return result;
}

std::string LanternpostModel::targetDescription(PresentationProvider provider) const {
    std::string description;
    if (provider == PresentationProvider::googleSlides) {
        const auto& store = settings();
        if (store.value(settings::googleSlidesWindowID) != 0) {
            const std::string owner = trimmedWhitespaceAndNewlines(store.value(settings::googleSlidesWindowOwnerName));
            const std::string title = trimmedWhitespaceAndNewlines(store.value(settings::googleSlidesWindowTitle));
            description = owner.empty() ? title : title.empty() ? owner : owner + " - " + title;
        }
    } else {
        description = std::string(fallbackTargetName(provider));
    }
    description = trimmedWhitespaceAndNewlines(description);
    return description.empty() ? std::string(fallbackTargetName(provider)) : description;
}

PresentationWindowSelectionResult LanternpostModel::selectGoogleSlidesWindow(std::int64_t windowID) {
    auto windows = deps_.availableWindows();
    googleSlidesWindowTargets.set(windows);
    auto& store = settings();
    PresentationWindowTarget window;
    std::string selected = "Selected Google Slides window";
    if (windowID != 0) {
        auto found = std::find_if(windows.begin(), windows.end(),
                                  [windowID](const PresentationWindowTarget& listed) { return listed.windowID == windowID; });
        if (found == windows.end()) {
            return {ResultStatus::failed, std::string(windowNotOpenMessage), store.value(settings::googleSlidesWindowID)};
        }
        window = *found;
        selected = "Selected " + window.menuTitle();
    }
    // Number 0 clears the saved selection: the empty target.
    store.setValue(settings::googleSlidesWindowID, window.windowID);
    store.setValue(settings::googleSlidesWindowOwnerProcessID, window.ownerProcessID);
    store.setValue(settings::googleSlidesWindowOwnerName, window.ownerName);
    store.setValue(settings::googleSlidesWindowBundleIdentifier, window.bundleIdentifier);
    store.setValue(settings::googleSlidesWindowTitle, window.title);
    refreshStatus();
    if (auto unsaved = unsavedChoice()) {
        return {ResultStatus::failed, selected + " for now. " + settingsWriteNotice(*unsaved), window.windowID};
    }
    return {ResultStatus::ok, selected + ".", window.windowID};
}

// ---- Servers ------------------------------------------------------------------------------------

BridgeStatusHandler LanternpostModel::statusHandler(ObservableValue<BridgeServerStatus> LanternpostModel::*status,
                                                    BridgeServerPtr LanternpostModel::*server) {
    std::weak_ptr<LanternpostModel> weak = weak_from_this();
    return [weak, status, server](std::uint64_t serverID, BridgeServerStatus report) {
        auto self = weak.lock();
        if (!self) return;
        // A late report of a server that has been replaced (or stopped) would overwrite the status
        // the model set after it, such as a port-range failure.
        const BridgeServerPtr& current = (*self).*server;
        if (!current || current->id() != serverID) return;
        ((*self).*status).set(std::move(report));
    };
}

ObservableValue<BridgeServerStatus>* LanternpostModel::statusForLabel(std::string_view label) {
    if (label == "HTTP") return &httpStatus;
    if (label == "OSC") return &oscStatus;
    return nullptr;
}

std::optional<network::ServerListenBinding> LanternpostModel::listenBinding(std::string_view label) {
    switch (settings().value(settings::listenAddressMode)) {
        case network::NetworkListenMode::allInterfaces:
            return network::ServerListenBinding{std::nullopt, std::nullopt, "all interfaces"};
        case network::NetworkListenMode::localhost:
            return network::ServerListenBinding{"127.0.0.1", "127.0.0.1", "localhost (127.0.0.1)"};
        case network::NetworkListenMode::specificInterface:
            break;
    }
    const std::string saved = settings().value(settings::selectedListenAddress);
    auto* status = statusForLabel(label);
    if (saved.empty()) {
        if (status) status->set(failedStatus(chooseInterfaceMessage));
        return std::nullopt;
    }
    for (const auto& interface : availableInterfaces.get()) {
        if (interface.address == saved) return network::ServerListenBinding{saved, saved, interface.label()};
    }
    if (status) status->set(failedStatus(interfaceUnavailableMessage));
    return std::nullopt;
}

void LanternpostModel::rescanInterfaces() { availableInterfaces.set(deps_.scanInterfaces()); }

void LanternpostModel::ensureListenAddressSelection() {
    rescanInterfaces();
    auto& store = settings();
    if (store.value(settings::listenAddressMode) != network::NetworkListenMode::specificInterface) return;
    if (!store.value(settings::selectedListenAddress).empty()) return;
    if (availableInterfaces.get().empty()) return;
    store.setValue(settings::selectedListenAddress, availableInterfaces.get().front().address);
}

namespace {

// Stops the server (if any) and forgets it first, so that its last reports are ignored.
void dropServer(BridgeServerPtr& server) {
    auto old = std::move(server);
    server.reset();
    if (old) old->stop();
}

// Stores the new server before starting it, so that reports made during start() are heard.
void startServer(BridgeServerPtr& slot, BridgeServerPtr server, ObservableValue<BridgeServerStatus>& status) {
    if (!server) {
        status.set(BridgeServerStatus::stopped());
        return;
    }
    slot = server;
    try {
        server->start();
    } catch (const std::exception& error) {
        if (slot == server) slot.reset();
        status.set(failedStatus(error.what()));
    }
}

}  // namespace

void LanternpostModel::restartServer(const ServerRoute& route, bool hasFactory, const ServerBuilder& build) {
    BridgeServerPtr& slot = this->*route.server;
    ObservableValue<BridgeServerStatus>& status = this->*route.status;
    dropServer(slot);
    auto& store = settings();
    if (!store.value(*route.enabled)) {
        status.set(BridgeServerStatus::stopped());
        return;
    }
    ServerEndpoint endpoint;
    if (route.port) {
        const std::int64_t port = store.value(*route.port);
        if (!isValidPort(port)) {
            status.set(failedStatus(route.portMessage));
            return;
        }
        endpoint.port = static_cast<std::uint16_t>(port);
    }
    if (!route.listenLabel.empty()) {
        auto binding = listenBinding(route.listenLabel);
        if (!binding) return;
        endpoint.binding = std::move(*binding);
    }
    if (!hasFactory) {
        status.set(BridgeServerStatus::stopped());
        return;
    }
    startServer(slot, build(endpoint, statusHandler(route.status, route.server)), status);
}

void LanternpostModel::restartOSCServer() {
    static const ServerRoute route{&LanternpostModel::oscServer_, &LanternpostModel::oscStatus, &settings::oscEnabled,
                                   &settings::oscPort, oscPortMessage, "OSC"};
    restartServer(route, bool(deps_.makeOSCServer), [this](const ServerEndpoint& endpoint, BridgeStatusHandler status) {
        OSCServerParts parts;
        parts.port = endpoint.port;
        parts.binding = endpoint.binding;
        parts.command = commandHandler(CommandSource::osc);
        parts.statusHandler = std::move(status);
        return deps_.makeOSCServer(std::move(parts));
    });
}

void LanternpostModel::restartHTTPServer() {
    static const ServerRoute route{&LanternpostModel::httpServer_, &LanternpostModel::httpStatus, &settings::httpEnabled,
                                   &settings::httpPort, httpPortMessage, "HTTP"};
    restartServer(route, bool(deps_.makeHTTPServer), [this](const ServerEndpoint& endpoint, BridgeStatusHandler status) {
        const auto& store = settings();
        HTTPServerParts parts;
        parts.configuration.port = endpoint.port;
        parts.configuration.listenAddress = endpoint.binding.address;
        parts.configuration.listenDisplayName = endpoint.binding.displayName;
        parts.handlers = httpHandlers();
        parts.statusHandler = std::move(status);
        httpAuthenticationInputs_ = currentHTTPAuthenticationInputs();
        http::HTTPAuthConfiguration authentication;
        authentication.isEnabled = store.value(settings::httpAuthenticationEnabled);
        authentication.credentials = knownHTTPCredentials();
        parts.authenticator = std::make_shared<http::HTTPRequestAuthenticator>(std::move(authentication), http::systemWallClock, httpNonces_);
        httpAuthenticator_ = parts.authenticator;
        parts.queue = dispatch::makeSerialQueue(std::string(httpQueueLabel));
        return deps_.makeHTTPServer(std::move(parts));
    });
    // Asked first: a keychain that does not answer is told after one time-out, and the reads
    // behind the question fail at once.
    checkSecrets();
    // Each server reads the secrets afresh: a restart is also how a changed keychain is seen.
    readHTTPSecrets();
}

std::vector<HTTPAuthCredential> LanternpostModel::knownHTTPCredentials() const {
    std::vector<HTTPAuthCredential> credentials;
    for (const auto& device : settings().value(settings::httpPairedDevices)) {
        if (auto found = httpSecrets_.find(device.id); found != httpSecrets_.end()) credentials.push_back({device.id, found->second});
    }
    return credentials;
}

dispatch::Queue& LanternpostModel::keychainQueue() {
    // On the pool meant for blocking calls: a Secret Service that does not answer holds the
    // thread for its time-out, which the few workers of the bridges' queues cannot spare.
    if (!keychainQueue_) {
        keychainQueue_ = dispatch::makeSerialQueue(std::string(keychainQueueLabel),
                                                   dispatch::globalQueue(dispatch::Priority::normal));
    }
    return *keychainQueue_;
}

void LanternpostModel::readHTTPSecrets() {
    const std::uint64_t read = ++httpSecretsReads_;
    std::vector<std::string> pairIDs;
    for (const auto& device : settings().value(settings::httpPairedDevices)) pairIDs.push_back(device.id);
    std::weak_ptr<LanternpostModel> weak = weak_from_this();
    keychainQueue().async([weak, read, pairIDs = std::move(pairIDs), reader = deps_.readKeychainItem] {
        std::vector<std::pair<std::string, KeychainItemRead>> found;
        for (const auto& pairID : pairIDs) found.emplace_back(pairID, reader(httpAuthKeychainService, pairID));
        dispatch::MainExecutor::post([weak, read, found = std::move(found)]() mutable {
            auto self = weak.lock();
            if (!self || read != self->httpSecretsReads_) return;
            // A secret that cannot be read now is not gone: the one read before still serves.
            self->httpSecretsUnreadable_ = false;
            for (auto& [pairID, item] : found) {
                if (item.status == keychain::success) {
                    self->httpSecrets_[pairID] = std::move(item.data);
                } else if (item.status == keychain::itemNotFound) {
                    self->httpSecrets_.erase(pairID);
                } else {
                    self->httpSecretsUnreadable_ = true;
                }
            }
            if (self->httpServer_ && self->httpAuthenticator_) {
                self->httpAuthenticator_->replaceCredentials(self->knownHTTPCredentials());
            }
            // A keychain that refused them says why now, not at the next poll.
            if (self->httpSecretsUnreadable_) self->checkSecrets();
        });
    });
}

LanternpostModel::HTTPAuthenticationInputs LanternpostModel::currentHTTPAuthenticationInputs() const {
    return {settings().value(settings::httpAuthenticationEnabled),
            settings().defaults().storedObject(settings::httpPairedDevices.name)};
}

void LanternpostModel::watchHTTPAuthentication() {
    std::weak_ptr<LanternpostModel> weak = weak_from_this();
    auto rebuildIfChanged = [weak](const auto&) {
        auto self = weak.lock();
        if (!self || !self->httpServer_ || !self->httpAuthenticationInputs_) return;
        if (*self->httpAuthenticationInputs_ != self->currentHTTPAuthenticationInputs()) self->restartHTTPServer();
    };
    httpAuthenticationWatches_.push_back(settings().observe(settings::httpAuthenticationEnabled, rebuildIfChanged));
    httpAuthenticationWatches_.push_back(settings().observe(settings::httpPairedDevices, rebuildIfChanged));
}

void LanternpostModel::restartBluetoothServer() {
    // No port and no listen address: the adapter is the endpoint.
    static const ServerRoute route{&LanternpostModel::bluetoothServer_, &LanternpostModel::bluetoothStatus,
                                   &settings::bluetoothEnabled, nullptr, {}, {}};
    // Each server reads the secrets afresh: a restart is also how a changed keychain is seen.
    bluetoothSecrets_->clear();
    restartServer(route, bool(deps_.makeBluetoothServer), [this](const ServerEndpoint&, BridgeStatusHandler status) {
        BluetoothServerParts parts;
        parts.allowsPairing = settings().value(settings::bluetoothDiscoverable);
        parts.handlers = bluetoothHandlers();
        parts.statusHandler = std::move(status);
        parts.queue = dispatch::makeSerialQueue(std::string(bluetoothQueueLabel));
        return deps_.makeBluetoothServer(std::move(parts));
    });
}

void LanternpostModel::stopServers() {
    dropServer(oscServer_);
    dropServer(httpServer_);
    dropServer(bluetoothServer_);
    oscStatus.set(BridgeServerStatus::stopped());
    httpStatus.set(BridgeServerStatus::stopped());
    bluetoothStatus.set(BridgeServerStatus::stopped());
}

std::uint64_t LanternpostModel::currentServerID(std::string_view label) const {
    const BridgeServerPtr* server = label == "HTTP"  ? &httpServer_
                                    : label == "OSC" ? &oscServer_
                                                     : &bluetoothServer_;
    return *server ? (*server)->id() : 0;
}

// ---- Handlers -----------------------------------------------------------------------------------

std::function<CommandResult(const PresentationCommand&)> LanternpostModel::commandHandler(CommandSource source) {
    std::weak_ptr<LanternpostModel> weak = weak_from_this();
    return [weak, source](const PresentationCommand& command) {
        if (auto self = weak.lock()) return self->execute(command, source);
        return CommandResult::failed(command, std::string(pavonixUnavailableMessage));
    };
}

namespace {

// A handler that holds the model weakly: it calls `member` while the model lives and answers
// `gone` once the model has been released.
template <class Member, class Result>
auto whileAlive(const std::weak_ptr<LanternpostModel>& weak, Member member, Result gone) {
    return [weak, member, gone = std::move(gone)](auto&&... args) -> Result {
        if (auto self = weak.lock()) return std::invoke(member, *self, std::forward<decltype(args)>(args)...);
        return gone;
    };
}

}  // namespace

http::HTTPBridgeHandlers LanternpostModel::httpHandlers() {
    std::weak_ptr<LanternpostModel> weak = weak_from_this();
    const std::string gone(pavonixUnavailableMessage);
    http::HTTPBridgeHandlers handlers;
    handlers.command = commandHandler(CommandSource::http);
    handlers.slideList = whileAlive(weak, &LanternpostModel::slideList, SlideListResult{ResultStatus::failed, gone, {}});
    handlers.windowList = whileAlive(weak, &LanternpostModel::googleSlidesWindowList,
                                     PresentationWindowListResult{ResultStatus::failed, gone, 0, {}});
    handlers.windowSelection = whileAlive(weak, &LanternpostModel::selectGoogleSlidesWindow,
                                          PresentationWindowSelectionResult{ResultStatus::failed, gone, 0});
    handlers.presentationProvider =
        whileAlive(weak, &LanternpostModel::currentPresentationProvider, PresentationProvider::keynote);
    handlers.presentationProviderSelection =
        whileAlive(weak, &LanternpostModel::selectPresentationProvider,
                   PresentationProviderSelectionResult{ResultStatus::failed, gone, std::nullopt});
    return handlers;
}

BluetoothBridgeHandlers LanternpostModel::bluetoothHandlers() {
    std::weak_ptr<LanternpostModel> weak = weak_from_this();
    const std::string gone(pavonixUnavailableMessage);
    BluetoothBridgeHandlers handlers;
    handlers.command = commandHandler(CommandSource::bluetooth);
    handlers.slideList = whileAlive(weak, &LanternpostModel::slideList, SlideListResult{ResultStatus::failed, gone, {}});
    handlers.windowList = whileAlive(weak, &LanternpostModel::remoteWindowList,
                                     RemotePresentationWindowListResult{ResultStatus::failed, gone, 0, {}});
    handlers.windowSelection = whileAlive(weak, &LanternpostModel::selectRemoteWindow,
                                          RemotePresentationWindowSelectionResult{ResultStatus::failed, gone, 0});
    handlers.presentationProvider =
        whileAlive(weak, &LanternpostModel::currentPresentationProvider, PresentationProvider::keynote);
    handlers.presentationProviderSelection =
        whileAlive(weak, &LanternpostModel::selectPresentationProvider,
                   PresentationProviderSelectionResult{ResultStatus::failed, gone, std::nullopt});
    handlers.pairSeen = [weak](const std::string& pairID) {
        if (auto self = weak.lock()) self->markBluetoothPairSeen(pairID);
    };
    handlers.pairingPayload = [weak](BluetoothBridgeHandlers::PairingReply reply) {
        if (auto self = weak.lock()) return self->bluetoothPairingPayload(std::move(reply));
        reply({});
    };
    handlers.removePairing = [weak](const std::string& pairID) {
        if (auto self = weak.lock()) self->withdrawBluetoothPairing(pairID);
    };
    handlers.isPaired = whileAlive(weak, &LanternpostModel::isBluetoothPaired, false);
    handlers.secrets = bluetoothSecrets_;
    return handlers;
}

SlideListResult LanternpostModel::slideList() {
    const PresentationProvider provider = currentPresentationProvider();
    return controller(provider).listSlides(targetDescription(provider));
}

PresentationWindowListResult LanternpostModel::googleSlidesWindowList() {
    auto windows = deps_.availableWindows();
    googleSlidesWindowTargets.set(windows);
    PresentationWindowListResult result;
    result.status = ResultStatus::ok;
    result.message = windows.empty()       ? std::string("No windows found.")
                     : windows.size() == 1 ? std::string("Found 1 window.")
                                           : "Found " + std::to_string(windows.size()) + " windows.";
    result.selectedWindowID = settings().value(settings::googleSlidesWindowID);
    for (const auto& window : windows) result.windows.push_back(window.summary());
    return result;
}

RemotePresentationWindowListResult LanternpostModel::remoteWindowList() {
    if (currentPresentationProvider() != PresentationProvider::googleSlides) {
        return {ResultStatus::failed, std::string(googleSlidesOnlyMessage), 0, {}};
    }
    return remoteListResult(googleSlidesWindowList());
}

RemotePresentationWindowSelectionResult LanternpostModel::selectRemoteWindow(std::int64_t windowID) {
    if (currentPresentationProvider() != PresentationProvider::googleSlides) {
        return {ResultStatus::failed, std::string(googleSlidesOnlyMessage), settings().value(settings::googleSlidesWindowID)};
    }
    return remoteSelectionResult(selectGoogleSlidesWindow(windowID));
}

PresentationProvider LanternpostModel::currentPresentationProvider() const {
    return settings().value(settings::presentationProvider);
}

PresentationProviderSelectionResult LanternpostModel::selectPresentationProvider(PresentationProvider provider) {
    settings().setValue(settings::presentationProvider, provider);
    refreshStatus();
    const std::string selected = "Selected " + std::string(displayName(provider));
    if (auto unsaved = unsavedChoice()) {
        return {ResultStatus::failed, selected + " for now. " + settingsWriteNotice(*unsaved), provider};
    }
    return {ResultStatus::ok, selected + ".", provider};
}

void LanternpostModel::bluetoothPairingPayload(BluetoothBridgeHandlers::PairingReply reply) {
    if (!settings().value(settings::bluetoothDiscoverable) || !deps_.createBluetoothPairing) return reply({});
    // Any central may ask while Discoverable is on: the secret's save must not hold the main thread.
    std::weak_ptr<LanternpostModel> weak = weak_from_this();
    keychainQueue().async([weak, create = deps_.createBluetoothPairing, now = deps_.now(), reply = std::move(reply)]() mutable {
        std::optional<BluetoothPairingSetup> setup;
        std::string failure;
        try {
            setup = create(std::string(bluetoothPairingName), now);
        } catch (const std::exception& error) {
            failure = error.what();
        }
        dispatch::MainExecutor::post([weak, setup = std::move(setup), failure, reply = std::move(reply)]() mutable {
            auto self = weak.lock();
            if (!self) return reply({});
            if (!setup) {
                self->bluetoothStatus.set(failedStatus(failure));
                self->checkSecrets();
                return reply({});
            }
            self->storeBluetoothPairing(std::move(*setup), std::move(reply));
        });
    });
}

void LanternpostModel::storeBluetoothPairing(BluetoothPairingSetup setup, BluetoothBridgeHandlers::PairingReply reply) {
    saveBluetoothPairedDevice(setup.device);
    BluetoothPairingPayload payload{std::string(bluetooth::kProtocolVersion), setup.device.id, setup.secret,
                                    std::string(bluetooth::kPairingAlgorithm), effectivePavonixName()};
    saveSettingsThen([payload = std::move(payload), reply = std::move(reply)](LanternpostModel* self,
                                                                              const SettingsProblem& problem) {
        // Removed while it was being written (from the sheet, or by another copy): the phone would be
        // told it paired, and be refused from its first request on.
        const bool removed = self && !self->isBluetoothPaired(payload.pairID);
        if (!problem && !removed) return reply({payload});
        // A secret handed out for a record that is not on disk would pair the remote only until
        // the next start, and leave the secret behind in the keychain.
        if (self) self->withdrawBluetoothPairing(payload.pairID);
        if (!problem) return reply({});
        reply({std::nullopt, problem->remedy != defaults::UserDefaults::Remedy::releaseLock});
    });
}

bool LanternpostModel::isBluetoothPaired(const std::string& pairID) const {
    const auto devices = settings().value(settings::bluetoothPairedDevices);
    return std::any_of(devices.begin(), devices.end(), [&](const BluetoothPairedDevice& device) { return device.id == pairID; });
}

void LanternpostModel::withdrawBluetoothPairing(const std::string& pairID) {
    removeBluetoothPairedDevice(pairID);
    deleteSecretLater(keychainQuery(bluetoothAuthKeychainService, pairID));
}

void LanternpostModel::deleteSecretLater(const KeychainQuery& query) {
    // After the secret's save, which went on the same queue.
    keychainQueue().async([remove = deps_.deleteKeychainItem, query] { remove(query); });
}

void LanternpostModel::markBluetoothPairSeen(const std::string& pairID) { updateBluetoothDeviceLastSeen(pairID, deps_.now()); }

// ---- Pairings -----------------------------------------------------------------------------------

void LanternpostModel::addHTTPPairing(const std::string& name, HTTPPairingDone done) {
    if (!deps_.createHTTPPairing) {
        return done(std::nullopt, std::make_exception_ptr(std::runtime_error("HTTP pairing is not available in this build.")));
    }
    // The secret is saved off the main thread: a keyring that has just stopped answering holds the
    // call for its time-out, and a keychain file on a slow disk for its writes.
    std::weak_ptr<LanternpostModel> weak = weak_from_this();
    keychainQueue().async([weak, create = deps_.createHTTPPairing, name, now = deps_.now(), done = std::move(done)]() mutable {
        std::optional<HTTPPairingSetup> setup;
        std::exception_ptr error;
        try {
            setup = create(name, now);
        } catch (const std::exception&) {
            error = std::current_exception();
        }
        dispatch::MainExecutor::post([weak, setup = std::move(setup), error, done = std::move(done)]() mutable {
            auto self = weak.lock();
            if (!self) return done(std::nullopt, std::make_exception_ptr(std::runtime_error(std::string(pavonixUnavailableMessage))));
            if (error) {
                self->checkSecrets();  // a keychain that refused the secret may say why
                return done(std::nullopt, error);
            }
            self->storeHTTPPairing(std::move(*setup), std::move(done));
        });
    });
}

void LanternpostModel::storeHTTPPairing(HTTPPairingSetup setup, HTTPPairingDone done) {
    // Known from its making: the new pair is answered at once, whatever the keychain's pace.
    if (auto secret = crypto::base64urlDecode(setup.secret)) httpSecrets_[setup.device.id] = std::move(*secret);
    settings().changeList(settings::httpPairedDevices, appended(setup.device));
    saveSettingsThen([setup = std::move(setup), done = std::move(done)](LanternpostModel* self, const SettingsProblem& problem) {
        if (!self) return done(std::nullopt, std::make_exception_ptr(std::runtime_error(std::string(pavonixUnavailableMessage))));
        if (problem) {
            self->httpSecrets_.erase(setup.device.id);
            self->settings().changeList(settings::httpPairedDevices, removed<HTTPPairedDevice>(setup.device.id));
            self->deleteSecretLater(keychainQuery(httpAuthKeychainService, setup.device.id));
            return done(std::nullopt, std::make_exception_ptr(SettingsNotSavedError(problem->reason)));
        }
        // The store's report of the new record may have rebuilt the server with it already.
        if (!self->httpAuthenticationInputs_ || *self->httpAuthenticationInputs_ != self->currentHTTPAuthenticationInputs()) {
            self->rescanInterfaces();
            self->restartHTTPServer();
        }
        self->refreshStatus();
        done(setup, nullptr);
    });
}

void LanternpostModel::removeHTTPPairing(const std::string& pairID) {
    httpSecrets_.erase(pairID);
    settings().changeList(settings::httpPairedDevices, removed<HTTPPairedDevice>(pairID));
    // The record is gone, so the secret no longer serves; a keyring that does not answer must not
    // hold the window while it is deleted.
    deleteSecretLater(keychainQuery(httpAuthKeychainService, pairID));
    rescanInterfaces();
    restartHTTPServer();
    refreshStatus();
}

void LanternpostModel::saveBluetoothPairedDevice(const BluetoothPairedDevice& device) {
    // lastSeenAt stays as given (absent for a new pairing) until the pair's first verified request.
    settings().changeList(settings::bluetoothPairedDevices, [device](StoredRecordList<BluetoothPairedDevice>& devices) {
        if (auto* found = devices.findFirst([&](const BluetoothPairedDevice& existing) { return existing.id == device.id; })) {
            *found = device;
        } else {
            devices.append(device);
        }
    });
}

void LanternpostModel::updateBluetoothDeviceLastSeen(const std::string& pairID, Date date) {
    // Not for a pair no longer listed: no change to record (another copy may have removed it).
    const auto devices = settings().value(settings::bluetoothPairedDevices);
    const auto found = std::find_if(devices.begin(), devices.end(), [&](const BluetoothPairedDevice& device) { return device.id == pairID; });
    if (found == devices.end()) return;
    // A phone may send a request every second; a time shown to the minute is written once a minute.
    if (found->lastSeenAt && date >= *found->lastSeenAt && date - *found->lastSeenAt < lastSeenSpacing) return;
    settings().changeList(settings::bluetoothPairedDevices,
                          changed<BluetoothPairedDevice>(pairID, [date](BluetoothPairedDevice& device) { device.lastSeenAt = date; }));
}

void LanternpostModel::removeBluetoothPairedDevice(const std::string& pairID) {
    settings().changeList(settings::bluetoothPairedDevices, removed<BluetoothPairedDevice>(pairID));
    bluetoothSecrets_->forget(pairID);
}

void LanternpostModel::deleteBluetoothSecret(const std::string& pairID) {
    deleteSecretLater(keychainQuery(bluetoothAuthKeychainService, pairID));
}

// ---- Remote targets -----------------------------------------------------------------------------

RemoteLanternpostTarget LanternpostModel::addRemoteTarget(const std::string& setupURL, const std::string& name) {
    if (!deps_.makeRemoteTarget) throw std::runtime_error(std::string(noRemoteClient));
    RemoteLanternpostTarget target;
    try {
        target = deps_.makeRemoteTarget(setupURL, name, deps_.now());
    } catch (const std::exception&) {
        checkSecrets();
        throw;
    }
    const std::string previousSelection = settings().value(settings::selectedRemoteLanternpostTargetID);
    settings().changeList(settings::remoteLanternpostTargets, appended(target));
    settings().setValue(settings::selectedRemoteLanternpostTargetID, target.id);
    if (auto unsaved = saveSettingsNow()) {
        settings().changeList(settings::remoteLanternpostTargets, removed<RemoteLanternpostTarget>(target.id));
        settings().setValue(settings::selectedRemoteLanternpostTargetID, previousSelection);
        deps_.deleteKeychainItem(keychainQuery(remoteTargetsKeychainService, target.id));
        throw SettingsNotSavedError(*unsaved);
    }
    return target;
}

void LanternpostModel::removeRemoteTarget(const std::string& id) {
    settings().changeList(settings::remoteLanternpostTargets, removed<RemoteLanternpostTarget>(id));
    deps_.deleteKeychainItem(keychainQuery(remoteTargetsKeychainService, id));
    if (settings().value(settings::selectedRemoteLanternpostTargetID) == id) {
        settings().setValue(settings::selectedRemoteLanternpostTargetID, std::string());
    }
}

void LanternpostModel::updateRemoteTargetAddress(const std::string& id, const std::string& host, std::int64_t port) {
    const std::string trimmedHost = trimmedWhitespaceAndNewlines(host);
    if (trimmedHost.empty() || !isValidPort(port)) return;
    const auto targets = settings().value(settings::remoteLanternpostTargets);
    const auto found = std::find_if(targets.begin(), targets.end(), [&](const RemoteLanternpostTarget& target) { return target.id == id; });
    if (found == targets.end() || (found->host == trimmedHost && found->port == port)) return;
    settings().changeList(settings::remoteLanternpostTargets,
                          changed<RemoteLanternpostTarget>(id, [trimmedHost, port](RemoteLanternpostTarget& target) {
                              target.host = trimmedHost;
                              target.port = port;
                          }));
}

void LanternpostModel::sendRemoteCommand(const PresentationCommand& command, const RemoteLanternpostTarget& target,
                                         std::function<void(CommandResult)> completion) {
    std::weak_ptr<LanternpostModel> weak = weak_from_this();
    const std::string label = remoteTargetLabel(target);
    // Every outcome reaches the main thread as a task of its own, is recorded, then handed on.
    auto finish = [weak, completion = std::move(completion)](CommandResult result) {
        dispatch::MainExecutor::post([weak, completion, result = std::move(result)] {
            if (auto self = weak.lock()) self->record(CommandSource::remoteHTTP, result);
            if (completion) completion(result);
        });
    };
    if (command.kind() == PresentationCommand::Kind::goToSlideNamed && normalizedSlideName(command.slideName()).empty()) {
        finish(CommandResult::failed(command, std::string(slideNameRequiredMessage)));
        return;
    }
    const auto client = deps_.remoteClient;
    if (!client) {
        finish(CommandResult::failed(command, label + ": " + std::string(noRemoteClient)));
        return;
    }
    RemoteRequest request;
    try {
        request = client->request(command);
    } catch (const std::exception& error) {
        finish(CommandResult::failed(command, label + ": " + describe(error)));
        return;
    }
    client->sendSigned(request.path, request.method, request.body, target,
                       [finish, command, label](RemoteReply reply) {
                           if (auto* error = std::get_if<std::string>(&reply)) {
                               finish(CommandResult::failed(command, label + ": " + *error));
                               return;
                           }
                           try {
                               finish(std::get<Json>(reply).get<CommandResult>());
                           } catch (const std::exception&) {
                               finish(CommandResult::failed(command, label + ": " + std::string(unreadableRemoteReply)));
                           }
                       });
}

void LanternpostModel::fetchRemoteSlides(const RemoteLanternpostTarget& target,
                                         std::function<void(SlideListResult)> completion) {
    const std::string label = remoteTargetLabel(target);
    auto finish = [completion = std::move(completion)](SlideListResult result) {
        dispatch::MainExecutor::post([completion, result = std::move(result)] {
            if (completion) completion(result);
        });
    };
    const auto client = deps_.remoteClient;
    if (!client) {
        finish(SlideListResult{ResultStatus::failed, label + ": " + std::string(noRemoteClient), {}});
        return;
    }
    client->sendSigned("/slides", "GET", {}, target, [finish, label](RemoteReply reply) {
        if (auto* error = std::get_if<std::string>(&reply)) {
            finish(SlideListResult{ResultStatus::failed, label + ": " + *error, {}});
            return;
        }
        try {
            finish(std::get<Json>(reply).get<SlideListResult>());
        } catch (const std::exception&) {
            finish(SlideListResult{ResultStatus::failed, label + ": " + std::string(unreadableRemoteReply), {}});
        }
    });
}

// ---- Storage -----------------------------------------------------------------------------------

void LanternpostModel::watchStorage() {
    showSettingsFileStatus();
    std::weak_ptr<LanternpostModel> weak = weak_from_this();
    // The set-aside notice says whether signing is still on.
    storageWatches_.push_back(settings().observe(settings::httpAuthenticationEnabled, [weak](const bool&) {
        if (auto self = weak.lock()) self->showSettingsFileStatus();
    }));
    writeStatusListener_ = settings().defaults().addWriteStatusListener([weak](const std::optional<std::string>&) {
        // Reports of writes on different threads may arrive out of order; the store's current
        // status, read when the report is handled, is never stale.
        dispatch::MainExecutor::post([weak] {
            if (auto self = weak.lock()) self->showSettingsFileStatus();
        });
    });
}

void LanternpostModel::showSettingsFileStatus() {
    const auto& defaults = settings().defaults();
    // A file that could not be read stops being a problem once a write has been able to read it;
    // a damaged one that could not be moved aside at first may be moved at a later write.
    const auto problem = defaults.loadProblem();
    const bool signing = settings().value(settings::httpAuthenticationEnabled);
    storageNotices.set(StorageNoticeBoard::Kind::settingsRead, problem ? std::optional<std::string>(settingsReadNotice(
                                                                             *problem, defaults.path(), signing))
                                                                       : std::nullopt);
    const auto error = defaults.lastWriteProblem();
    storageNotices.set(StorageNoticeBoard::Kind::settingsWrite,
                       error ? std::optional<std::string>(settingsWriteNotice(defaults.path(), *error)) : std::nullopt);
}

void LanternpostModel::checkSecrets() {
    if (!deps_.keychainProblem) return;
    if (secretsCheckRunning_) {
        secretsCheckAgain_ = true;
        return;
    }
    secretsCheckRunning_ = true;
    std::weak_ptr<LanternpostModel> weak = weak_from_this();
    keychainQueue().async([weak, ask = deps_.keychainProblem] {
        auto problem = ask();
        dispatch::MainExecutor::post([weak, problem = std::move(problem)] {
            auto self = weak.lock();
            if (!self) return;
            self->storageNotices.set(StorageNoticeBoard::Kind::secrets,
                                     problem ? std::optional<std::string>(secretsNotice(*problem)) : std::nullopt);
            self->secretsCheckRunning_ = false;
            // A Secret Service that was starting or stalled answers now, or a file was mended.
            // Once per poll at most: each read asks for a check when it is done.
            if (!problem && self->httpSecretsUnreadable_ && std::exchange(self->httpSecretsRetry_, false)) {
                self->readHTTPSecrets();
            }
            if (std::exchange(self->secretsCheckAgain_, false)) self->checkSecrets();
        });
    });
}

std::optional<std::string> LanternpostModel::unsavedChoice() {
    // A peer may send choices as often as it likes, and the main thread must not wait for the disk
    // for any of them: the store's background write takes each, as it takes every other change. A
    // store whose last write failed answers so at once; a write of this choice that fails is told
    // the user as it fails, and answers the peer's next choice. The choice holds until the program quits.
    const auto& defaults = settings().defaults();
    if (auto error = defaults.lastWriteError()) return error;
    // A file that could not be read is not written over until it reads again: no write has failed
    // yet, but none will hold this choice either.
    if (auto problem = defaults.loadProblem(); problem && !problem->setAside) return "reading the settings file: " + problem->reason;
    return std::nullopt;
}

void LanternpostModel::saveSettingsThen(std::function<void(LanternpostModel* self, const SettingsProblem& problem)> done) {
    std::weak_ptr<LanternpostModel> weak = weak_from_this();
    settings().defaults().flushInBackground([weak, done = std::move(done)](const SettingsProblem& problem) mutable {
        dispatch::MainExecutor::post([weak, done = std::move(done), problem] {
            auto self = weak.lock();
            if (self) self->showSettingsFileStatus();
            done(self.get(), problem);
        });
    });
}

std::optional<std::string> LanternpostModel::saveSettingsNow() {
    auto& defaults = settings().defaults();
    const auto saved = defaults.flushUnlessBusy(settingsWriteWait);
    showSettingsFileStatus();
    if (!saved) return std::string(settingsBusyMessage);
    if (*saved) return std::nullopt;
    return defaults.lastWriteError().value_or("the settings file could not be written");
}

// ---- Names --------------------------------------------------------------------------------------

std::string LanternpostModel::defaultPavonixName() { return pavonix::defaultPavonixName(systemPavonixNameSources()); }

std::string LanternpostModel::effectivePavonixName() const {
    std::string name = trimmedWhitespaceAndNewlines(settings().value(settings::pavonixName));
    return name.empty() ? defaultPavonixName() : name;
}

}  // namespace pavonix
