// The one application model: it owns the presentation controllers, the bridge servers, the
// remote-instance client and the pairings, executes every command, records the last one and keeps
// the statuses current.
//
// Threads: every member runs on the main thread. Servers reach the model through the handlers it
// gives them, which hold it weakly and answer "Pavonix is not available." once it is gone.
// Asynchronous results (remote commands, remote slide lists) arrive on the main thread.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/model/model_dependencies.h"
#include "app/model/observable_value.h"
#include "app/model/storage_notices.h"

namespace pavonix {

class LanternpostModel : public std::enable_shared_from_this<LanternpostModel> {
public:
    static constexpr std::string_view slideNameRequiredMessage = "Slide name is required.";
    static constexpr std::string_view windowNotOpenMessage =
        "The selected Google Slides window is not open. Refresh the window list and try again.";
    static constexpr std::string_view httpPortMessage = "HTTP port must be between 1 and 65535.";
    static constexpr std::string_view oscPortMessage = "OSC port must be between 1 and 65535.";
    static constexpr std::string_view chooseInterfaceMessage = "Choose an interface to listen on.";
    static constexpr std::string_view interfaceUnavailableMessage = "Selected interface is unavailable.";
    static constexpr std::string_view httpQueueLabel = "com.vrel.Lanternpost.http";
    static constexpr std::string_view bluetoothQueueLabel = "com.vrel.Lanternpost.bluetooth";
    static constexpr std::string_view keychainQueueLabel = "com.vrel.Lanternpost.keychain";
    static constexpr std::string_view bluetoothPairingName = "Bluetooth Remote";

    // Builds the model and runs its start-up: statuses stopped; interfaces scanned and status
    // refreshed; interfaces scanned again; OSC, HTTP and Bluetooth servers restarted; status
    // refreshed; then the status poll starts. On the main thread.
    static std::shared_ptr<LanternpostModel> make(LanternpostModelDependencies dependencies);

    ~LanternpostModel();
    LanternpostModel(const LanternpostModel&) = delete;
    LanternpostModel& operator=(const LanternpostModel&) = delete;

    // ---- Observable state ----
    ObservableValue<bool> presentationApplicationRunning{false};
    ObservableValue<std::vector<PresentationWindowTarget>> googleSlidesWindowTargets;
    ObservableValue<std::vector<network::NetworkInterfaceAddress>> availableInterfaces;
    ObservableValue<BridgeServerStatus> oscStatus{BridgeServerStatus::stopped()};
    ObservableValue<BridgeServerStatus> httpStatus{BridgeServerStatus::stopped()};
    ObservableValue<BridgeServerStatus> bluetoothStatus{BridgeServerStatus::stopped()};
    ObservableValue<std::optional<CommandLogEntry>> lastCommand;
    // Problems with the settings file and the pairing secrets, for the result line and the
    // settings window.
    StorageNoticeBoard storageNotices;

    const std::shared_ptr<RemoteClient>& remoteClient() const { return deps_.remoteClient; }
    SettingsStore& settings() const { return *deps_.settings; }

    // ---- Commands ----
    void refreshStatus();
    CommandResult execute(const PresentationCommand& command, CommandSource source);
    // The application name handed to a controller.
    std::string targetDescription(PresentationProvider provider) const;
    PresentationWindowSelectionResult selectGoogleSlidesWindow(std::int64_t windowID);

    // ---- Servers ----
    void restartOSCServer();
    void restartHTTPServer();
    void restartBluetoothServer();
    // Stops all three servers and sets each status to stopped.
    void stopServers();
    // Where the server named "OSC" or "HTTP" listens; nothing (and that server's failed status)
    // when the specific interface is not chosen or not present.
    std::optional<network::ServerListenBinding> listenBinding(std::string_view label);
    void ensureListenAddressSelection();
    void rescanInterfaces();

    // ---- Handlers the servers hold; each keeps the model weakly ----
    http::HTTPBridgeHandlers httpHandlers();
    BluetoothBridgeHandlers bluetoothHandlers();
    std::function<CommandResult(const PresentationCommand&)> commandHandler(CommandSource source);

    // The handlers' work, with the model alive.
    SlideListResult slideList();
    PresentationWindowListResult googleSlidesWindowList();
    RemotePresentationWindowListResult remoteWindowList();
    RemotePresentationWindowSelectionResult selectRemoteWindow(std::int64_t windowID);
    PresentationProvider currentPresentationProvider() const;
    PresentationProviderSelectionResult selectPresentationProvider(PresentationProvider provider);
    void bluetoothPairingPayload(BluetoothBridgeHandlers::PairingReply reply);
    // A new pair whose secret reached no one: its record and its secret go; the server stays.
    void withdrawBluetoothPairing(const std::string& pairID);
    // Whether the identifier names a stored Bluetooth pairing; reads no secret.
    bool isBluetoothPaired(const std::string& pairID) const;
    void markBluetoothPairSeen(const std::string& pairID);

    // ---- Pairings ----
    // Hands `done`, on the main thread once the record is on disk (later: the disk may be slow),
    // the new pairing, or the error: the pairing store's unchanged, or SettingsNotSavedError when
    // the record could not be saved (its secret is deleted again); nothing is stored then.
    using HTTPPairingDone = std::function<void(std::optional<HTTPPairingSetup> setup, std::exception_ptr error)>;
    void addHTTPPairing(const std::string& name, HTTPPairingDone done);
    void removeHTTPPairing(const std::string& pairID);
    void saveBluetoothPairedDevice(const BluetoothPairedDevice& device);
    void updateBluetoothDeviceLastSeen(const std::string& pairID, Date date);
    void removeBluetoothPairedDevice(const std::string& pairID);
    // On the keychain queue, as every secret of a pair is saved and deleted: a keyring that does
    // not answer must not hold the window.
    void deleteBluetoothSecret(const std::string& pairID);

    // ---- Remote targets ----
    // Throws the target error unchanged, or SettingsNotSavedError when the target could not be
    // saved (its secret is deleted again); nothing is stored then. The new target is selected.
    RemoteLanternpostTarget addRemoteTarget(const std::string& setupURL, const std::string& name);
    void removeRemoteTarget(const std::string& id);
    void updateRemoteTargetAddress(const std::string& id, const std::string& host, std::int64_t port);
    // Forwards the command; the answer (or failure) is recorded as the last command with the
    // source remoteHTTP and handed to `completion` on the main thread.
    void sendRemoteCommand(const PresentationCommand& command, const RemoteLanternpostTarget& target,
                           std::function<void(CommandResult)> completion);
    void fetchRemoteSlides(const RemoteLanternpostTarget& target, std::function<void(SlideListResult)> completion);

    // ---- Names ----
    static std::string defaultPavonixName();
    std::string effectivePavonixName() const;

    // ---- Storage ----
    // Writes the pending settings now; the reason when they could not be written. The main thread
    // does not wait long for another write of the file (another copy's, or the store's own
    // background write): it gives up then, with a reason (a remote device, whose secret is kept
    // only once its record is on disk).
    std::optional<std::string> saveSettingsNow();
    // Writes the pending settings off the main thread, after any write of them under way however
    // long the disk takes, and calls `done` on the main thread with what kept them from the file
    // (nothing: they are on disk); `self` is null once the model is gone.
    using SettingsProblem = std::optional<defaults::UserDefaults::WriteProblem>;
    void saveSettingsThen(std::function<void(LanternpostModel* self, const SettingsProblem& problem)> done);
    // Why a choice just stored could not be saved; answers that say a choice was made say "for
    // now" with this reason: the store's last write failed. Writes nothing on the calling thread.
    std::optional<std::string> unsavedChoice();
    // Reads the settings file's load and write problems into storageNotices.
    void showSettingsFileStatus();
    // Asks the keychain, on a queue of its own, whether its secrets can be read, and shows the
    // answer when it comes (a Secret Service may take up to its time-out to answer, or not
    // answer at all). One question at a time; asking while one is out asks once more after it.
    // Done at each poll and where the model has just read or failed to write secrets. A keychain
    // that reads again after a read of the HTTP secrets failed has them read once more.
    void checkSecrets();

    // The id of the server whose reports are listened to; 0 when none runs. For tests.
    std::uint64_t currentServerID(std::string_view label) const;

private:
    explicit LanternpostModel(LanternpostModelDependencies dependencies);
    void startUp();
    void watchStorage();
    void watchHTTPAuthentication();
    void schedulePoll();
    void record(CommandSource source, CommandResult result);
    PresentationController& controller(PresentationProvider provider) const;
    BridgeStatusHandler statusHandler(ObservableValue<BridgeServerStatus> LanternpostModel::*status,
                                      BridgeServerPtr LanternpostModel::*server);
    ObservableValue<BridgeServerStatus>* statusForLabel(std::string_view label);

    // What one server's restart reads: its slot and status, its settings, and the label of its
    // listen binding. A server without a port or a listen address leaves those empty.
    struct ServerRoute {
        BridgeServerPtr LanternpostModel::*server;
        ObservableValue<BridgeServerStatus> LanternpostModel::*status;
        const SettingsStore::Key<bool>* enabled;
        const SettingsStore::Key<std::int64_t>* port;
        std::string_view portMessage;
        std::string_view listenLabel;
    };
    struct ServerEndpoint {
        std::uint16_t port = 0;
        network::ServerListenBinding binding;
    };
    using ServerBuilder = std::function<BridgeServerPtr(const ServerEndpoint&, BridgeStatusHandler)>;
    // Every restart: drop the old server, check the switch, the port and the listen binding, build
    // through the factory, then start it.
    void restartServer(const ServerRoute& route, bool hasFactory, const ServerBuilder& build);
    // A new pair whose secret is saved: its record is stored, and the answer given once it is on disk.
    void storeHTTPPairing(HTTPPairingSetup setup, HTTPPairingDone done);
    void storeBluetoothPairing(BluetoothPairingSetup setup, BluetoothBridgeHandlers::PairingReply reply);
    // On the keychain queue, where new pairs' secrets are saved.
    void deleteSecretLater(const KeychainQuery& query);

    LanternpostModelDependencies deps_;
    BridgeServerPtr oscServer_;
    BridgeServerPtr httpServer_;
    BridgeServerPtr bluetoothServer_;
    // The Bluetooth pairs' secrets, read off the main thread once each while one server runs.
    std::shared_ptr<bluetooth::BluetoothSecretCache> bluetoothSecrets_;
    dispatch::SourcePtr pollTimer_;
    std::optional<defaults::UserDefaults::ListenerId> writeStatusListener_;
    // What the running HTTP server's authenticator was built from. The switch and the pairs can
    // change without this process asking (another copy of the program on the same settings, a file
    // readable again); the server is rebuilt when they no longer match.
    struct HTTPAuthenticationInputs {
        bool enabled = false;
        std::optional<nlohmann::json> pairs;
        bool operator==(const HTTPAuthenticationInputs&) const = default;
    };
    HTTPAuthenticationInputs currentHTTPAuthenticationInputs() const;
    // The HTTP pairs' secrets are read on the keychain queue, never on the main thread: a Secret
    // Service that is starting or stalled would hold the window and every peer for its time-out.
    // A server starts with the secrets known so far; each read's answer goes into the running
    // server's authenticator.
    void readHTTPSecrets();
    std::vector<HTTPAuthCredential> knownHTTPCredentials() const;
    dispatch::Queue& keychainQueue();
    std::shared_ptr<http::HTTPRequestAuthenticator> httpAuthenticator_;
    // Kept across the servers' restarts: a pairing added or removed must not let a request
    // signed before it be replayed.
    const std::shared_ptr<signing::RequestNonceMemory> httpNonces_ = std::make_shared<signing::RequestNonceMemory>();
    std::map<std::string, Bytes> httpSecrets_;  // by pair id, as last read (or made here)
    bool httpSecretsUnreadable_ = false;        // the last read met a keychain that could not be read
    bool httpSecretsRetry_ = true;              // such a read may be tried again before the next poll
    std::uint64_t httpSecretsReads_ = 0;        // only the latest read's answer is taken
    std::optional<HTTPAuthenticationInputs> httpAuthenticationInputs_;
    std::vector<SettingsStore::Subscription> httpAuthenticationWatches_;
    // Where checkSecrets asks the keychain; made on first use.
    dispatch::QueuePtr keychainQueue_;
    bool secretsCheckRunning_ = false;
    bool secretsCheckAgain_ = false;
    std::vector<SettingsStore::Subscription> storageWatches_;
};

}  // namespace pavonix
