#include <sys/socket.h>

#include <cstdio>
#include <gtest/gtest.h>

#include "platform/net/testing/loopback.h"
#include "platform/testing/temporary_folder.h"
#include "sockets/queue_tcp_socket.h"
#include "sockets/testing/socket_recorders.h"
#include "sockets/testing/tls_identity.h"

namespace pavonix::sockets {
namespace {

using std::chrono::seconds;
using testing::bytes;
using testing::TcpRecorder;

TlsSettings settings(std::initializer_list<std::pair<std::string_view, TlsValue>> items) {
    TlsSettings result;
    for (const auto& [key, value] : items) result.emplace(std::string(key), value);
    return result;
}

class QueueTcpSocketTlsTest : public ::testing::Test {
protected:
    TlsSettings serverSettings() const {
        return settings({{kTlsIsServer, true}, {kTlsCertificates, TlsArray{identity.identity()}}});
    }
    static TlsSettings manualTrust() {
        return settings({{kTlsManuallyEvaluateTrust, true}, {kTlsPeerName, "localhost"}});
    }
    void SetUp() override {
        ASSERT_TRUE(listener->acceptOnInterface("127.0.0.1", 0));
        port = listener->localPort();
    }
    // The client socket connected to the listener, and the accepted socket.
    QueueTcpSocketPtr connect() {
        const auto before = server->count("accept");
        EXPECT_TRUE(clientSocket->connectToHost("127.0.0.1", port));
        EXPECT_TRUE(client->waitFor("connect"));
        EXPECT_TRUE(server->waitFor("accept", before + 1));
        return server->accepted().back();
    }
    // A raw peer sends `sent` and ends its stream while the accepted socket switches to TLS with
    // `tlsSettings`; the error the socket closes with.
    // With `plainReadFirst` a plain read is queued before the switch and is still waiting.
    std::optional<SocketError> acceptedSocketCloses(const TlsSettings& tlsSettings, std::string_view sent,
                                                    bool plainReadFirst = false) {
        const auto before = server->count("disconnect");
        pavonix::testing::LoopbackPeer peer(port);
        EXPECT_TRUE(server->waitFor("accept", before + 1));
        if (plainReadFirst) server->accepted().back()->readDataToData(kLFData, -1, 1);
        server->accepted().back()->startTLS(tlsSettings);
        peer.send(sent);
        peer.shutdownWrite();
        return server->waitFor("disconnect", before + 1).error;
    }

    testing::TlsIdentity identity = testing::makeTlsIdentity();
    std::shared_ptr<TcpRecorder> server = std::make_shared<TcpRecorder>();
    std::shared_ptr<TcpRecorder> client = std::make_shared<TcpRecorder>();
    QueueTcpSocketPtr listener = QueueTcpSocket::create(server, server->queue);
    QueueTcpSocketPtr clientSocket = QueueTcpSocket::create(client, client->queue);
    std::uint16_t port = 0;
};

TEST_F(QueueTcpSocketTlsTest, PlainBytesBeforeTheSwitchAndAMegabyteEachWayAfterIt) {
    Bytes big(1 << 20);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + i / 4096);
    server->onRead = [&](const QueueTcpSocketPtr& socket, const ReadData& data, std::int64_t tag) {
        if (tag == 2) socket->writeData(data.bytes(), -1, 9);
    };
    // A late distrust after the trust must not count.
    client->onTrust = [](const TlsPeerTrust&, std::function<void(bool)> completion) {
        completion(true);
        completion(false);
    };

    const auto accepted = connect();
    // Both ends ask twice; the second request is dropped, as TLS is already on its way.
    accepted->readDataToData(kLFData, -1, 1);
    accepted->startTLS(serverSettings());
    accepted->startTLS(serverSettings());
    accepted->readDataToLength(big.size(), -1, 2);
    clientSocket->writeData(bytes("plain line\n"), -1, 1);
    clientSocket->startTLS(manualTrust());
    clientSocket->startTLS(manualTrust());
    clientSocket->writeData(big, -1, 2);
    clientSocket->readDataToLength(big.size(), -1, 3);

    EXPECT_EQ(server->waitFor("read").text, "plain line\n");
    const auto echoed = client->waitFor("read", 1, seconds(30));
    ASSERT_TRUE(echoed) << (client->waitFor("disconnect", 1, seconds(0)) ? "client closed" : "");
    EXPECT_EQ(bytes(echoed.text), big);
    EXPECT_EQ(server->count("secure"), 1u);
    EXPECT_EQ(client->count("secure"), 1u);
    // The self-signed certificate, which no system root vouches for.
    EXPECT_EQ(client->waitFor("trust").length, 1u);

    // An orderly close reaches the peer as the end of its stream.
    accepted->readData(-1, 3);
    clientSocket->disconnect();
    EXPECT_TRUE(server->waitFor("disconnect"));
}

TEST_F(QueueTcpSocketTlsTest, TrustDecisionsOfTheDelegate) {
    struct Case {
        std::string name;
        std::function<void(const TlsPeerTrust&, std::function<void(bool)>)> onTrust;  // null: declines
        TlsSettings clientSettings;
        std::string error;  // the code of the client's TLS error, or the text of its own error
    };
    const Case cases[] = {
        {"distrusted, then a late trust that must not count",
         [](const TlsPeerTrust&, std::function<void(bool)> done) { done(false), done(true); }, manualTrust(),
         std::to_string(kTlsBadPeerCertificate)},
        {"a delegate that does not decide", nullptr, manualTrust(),
         "QueueTcpSocketManuallyEvaluateTrust specified in tlsSettings, but delegate doesn't implement "
         "socket:shouldTrustPeer:"},
        {"the system's verification of a self-signed certificate", nullptr,
         settings({{kTlsPeerName, "localhost"}}), std::to_string(kTlsCertificateChainInvalid)},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        client = std::make_shared<TcpRecorder>();
        clientSocket = QueueTcpSocket::create(client, client->queue);
        client->onTrust = c.onTrust;
        const auto accepted = connect();
        accepted->startTLS(serverSettings());
        clientSocket->startTLS(c.clientSettings);
        const auto report = client->waitFor("disconnect", 1, seconds(10));
        ASSERT_TRUE(report && report.error);
        const auto& error = *report.error;
        EXPECT_EQ(error.domain == kSSLErrorDomain ? std::to_string(error.code) : error.description, c.error);
        EXPECT_EQ(client->count("secure"), 0u);
        EXPECT_TRUE(server->waitFor("disconnect", i + 1));  // the server side never hangs in the handshake
    }
}

// The accepted socket closes with its own text for settings it cannot use, and with the TLS error
// for a peer that speaks no TLS or leaves mid-handshake.
TEST_F(QueueTcpSocketTlsTest, UnusableSettingsAndPeersThatAreNotTlsCloseWithTheirErrors) {
    const std::pair<TlsSettings, std::string> refused[] = {
        {settings({{"kCFStreamSSLLevel", "kCFStreamSocketSecurityLevelTLSv1"}}),
         "Security option unavailable - kCFStreamSSLLevel"},
        {settings({{"kCFStreamSSLAllowsAnyRoot", true}}), "Security option unavailable - kCFStreamSSLAllowsAnyRoot"},
        {settings({{kTlsIsServer, true}, {kTlsManuallyEvaluateTrust, true}}),
         "Manual trust validation is not supported for server sockets"},
        {settings({{kTlsALPN, "h2"}}), "Invalid value for QueueTcpSocketSSLALPN."},
        {settings({{kTlsPeerName, 5}}), "Invalid value for kCFStreamSSLPeerName."},
        {settings({{kTlsProtocolVersionMin, 3}}), "Error in SSLSetProtocolVersionMin"},
        {settings({{kTlsCertificates, TlsArray{bytes("not a certificate")}}}), "Error in SSLSetCertificate"},
        {settings({{kTlsCipherSuites, TlsArray{0xfefe}}}), "Error in SSLSetEnabledCiphers"},
        {settings({{kTlsDiffieHellmanParameters, bytes("junk")}}), "Error in SSLSetDiffieHellmanParams"},
    };
    const int other = static_cast<int>(QueueTcpSocketErrorCode::other);
    for (const auto& [tlsSettings, text] : refused) {
        const auto error = acceptedSocketCloses(tlsSettings, "");
        ASSERT_TRUE(error) << text;
        EXPECT_EQ(std::tie(error->domain, error->code, error->description),
                  std::tuple(std::string(kQueueTcpSocketErrorDomain), other, text));
    }
    const std::pair<std::string, int> peers[] = {
        {"GET / HTTP/1.0\r\n\r\n", kTlsProtocolFailure},
        {std::string("\x16\x03\x01\x02\x00\x01", 6), kTlsClosedAbort},  // a hello cut short
        {"", kTlsClosedAbort},
    };
    for (const auto& [sent, code] : peers) {
        const auto error = acceptedSocketCloses(serverSettings(), sent);
        ASSERT_TRUE(error) << code;
        EXPECT_EQ(std::tie(error->domain, error->code), std::tuple(std::string(kSSLErrorDomain), code));
    }
    // Only the write side at the switch: the stream was still promised to go on in TLS.
    const auto error = acceptedSocketCloses(serverSettings(), "no line end", true);
    ASSERT_TRUE(error);
    EXPECT_EQ(std::tie(error->domain, error->code), std::tuple(std::string(kSSLErrorDomain), kTlsClosedAbort));
}

// A secure stream that ends without the peer's closing alert may have been cut short by someone
// else on the path; only the alert makes it the peer's own end.
TEST_F(QueueTcpSocketTlsTest, ASecureStreamEndsInOrderOnlyWithTheClosingAlert) {
    for (const bool withAlert : {false, true}) {
        SCOPED_TRACE(withAlert);
        client = std::make_shared<TcpRecorder>();
        clientSocket = QueueTcpSocket::create(client, client->queue);
        client->onTrust = [](const TlsPeerTrust&, std::function<void(bool)> completion) { completion(true); };
        const auto accepted = connect();
        accepted->startTLS(serverSettings());
        clientSocket->startTLS(manualTrust());
        const auto secured = server->count("secure") + 1;
        ASSERT_TRUE(server->waitFor("secure", secured, seconds(10)));
        ASSERT_TRUE(client->waitFor("secure", 1, seconds(10)));
        accepted->readData(-1, 1);
        if (withAlert) {
            clientSocket->disconnect();
        } else {
            clientSocket->performBlock([&] { ::shutdown(clientSocket->socketFD(), SHUT_WR); });
        }
        const auto closed = server->waitFor("disconnect", secured);  // one connection, one close
        ASSERT_TRUE(closed && closed.error);
        const auto expected = withAlert ? std::tuple(std::string(kQueueTcpSocketErrorDomain),
                                                     static_cast<int>(QueueTcpSocketErrorCode::closed))
                                        : std::tuple(std::string(kSSLErrorDomain), kTlsClosedAbort);
        EXPECT_EQ(std::tie(closed.error->domain, closed.error->code), expected);
        clientSocket->disconnect();
    }
}

// Our client meets our server in the tests above; here a client of another make checks the
// certificate and host name our server presents.
TEST_F(QueueTcpSocketTlsTest, TheOpensslClientVerifiesOurServer) {
    if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs the openssl command";
    pavonix::testing::TemporaryFolder folder("pavonix-tls");
    const std::string certificate = (folder.path() / "certificate.pem").string();
    pavonix::testing::writeFile(certificate, identity.certificatePem);

    // The listener is already accepting, so the hooks are set on the delegate queue that reads them.
    server->queue->sync([&] {
        server->onAccept = [&](const QueueTcpSocketPtr& socket) {
            socket->startTLS(serverSettings());
            socket->writeData(bytes("pong\n"), -1, 1);
            socket->readDataToData(kLFData, -1, 2);
        };
        server->onRead = [](const QueueTcpSocketPtr& socket, const ReadData&, std::int64_t) {
            socket->disconnectAfterWriting();
        };
    });
    const std::string clientCommand =
        "printf 'ping\\n' | timeout 20 openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
        " -quiet -verify_return_error -CAfile " + certificate + " -verify_hostname localhost 2>/dev/null";
    // The command's own `timeout` bounds the read of its output.
    FILE* openssl = ::popen(clientCommand.c_str(), "r");
    std::string output;
    char chunk[4096];
    while (const std::size_t got = std::fread(chunk, 1, sizeof chunk, openssl)) output.append(chunk, got);
    ::pclose(openssl);
    EXPECT_EQ(output, "pong\n");
    EXPECT_EQ(server->waitFor("read").text, "ping\n");
}

}  // namespace
}  // namespace pavonix::sockets
