// The TLS client against a peer nobody here wrote: openssl s_server on loopback, with
// throwaway certificates made by openssl in a temporary directory.
#include "common/error.h"
#include "common/handles.h"
#include "common/log.h"
#include "support/test_support.h"
#include "transport/tcp.h"
#include "transport/tls_client.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

// Certificates for one run: the pinned server, a forgery with the pinned subject and another
// key, an unrelated server, and the device.
struct cert_set {
    temp_dir dir;
    std::string path(const std::string& name) const { return dir.file(name); }

    cert_set()
    {
        make("srv", "/CN=cs.quillmesh.test");
        make("forged", "/CN=cs.quillmesh.test");
        make("other", "/CN=other.quillmesh.test");
        make("dev", "/CN=device.quillmesh.test");
        make("rsa", "/CN=rsa.quillmesh.test", "rsa:2048");
        make("rsa2", "/CN=rsa.quillmesh.test", "rsa:2048");
    }

    void make(const std::string& name, const std::string& subject, const std::string& key = "")
    {
        std::string key_options = key.empty() ? "ec -pkeyopt ec_paramgen_curve:P-256" : key;
        std::string cmd = "openssl req -x509 -newkey " + key_options + " -nodes -days 2 -subj '" + subject
            + "' -keyout '" + path(name + ".pem") + "' -out '" + path(name + ".crt") + "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0)
            throw std::runtime_error("openssl req failed for " + name);
    }
};

// One openssl s_server on a free loopback port; killed and reaped on every path.
class s_server
{
public:
    explicit s_server(const std::vector<std::string>& options)
    {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            ::close(in[0]);
            ::close(in[1]);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<std::string> args = { "openssl", "s_server", "-accept", "127.0.0.1:0", "-naccept", "1" };
            args.insert(args.end(), options.begin(), options.end());
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execvp("openssl", argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        fcntl(stdout_, F_SETFL, O_NONBLOCK);
        // "ACCEPT 127.0.0.1:<port>" names the port that the server got.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (port_ == 0 && std::chrono::steady_clock::now() < deadline) {
            collect(200);
            auto at = output_.find("ACCEPT 127.0.0.1:");
            if (at != std::string::npos && output_.find('\n', at) != std::string::npos)
                port_ = std::atoi(output_.c_str() + at + 17);
        }
        if (port_ == 0) {
            stop();
            throw std::runtime_error("s_server did not start: " + output_);
        }
    }
    ~s_server() { stop(); }
    s_server(const s_server&) = delete;
    s_server& operator=(const s_server&) = delete;

    int port() const { return port_; }
    // What the server sends to the client, as one piece of input.
    void say(const std::string& text)
    {
        if (write(stdin_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("write to s_server");
    }
    // Everything the server printed so far (its log and what the client sent).
    const std::string& output(int wait_ms = 300)
    {
        collect(wait_ms);
        return output_;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int port_ = 0;
    std::string output_;

    void collect(int wait_ms)
    {
        struct pollfd p = { stdout_, POLLIN, 0 };
        while (poll(&p, 1, wait_ms) > 0) {
            char buf[4096];
            ssize_t n = read(stdout_, buf, sizeof buf);
            if (n <= 0)
                break;
            output_.append(buf, static_cast<std::size_t>(n));
            wait_ms = 50;
        }
    }
    void stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        for (int* fd : { &stdin_, &stdout_ })
            if (*fd != -1) {
                ::close(*fd);
                *fd = -1;
            }
    }
};

const std::string REQUEST = R"({"H":{"V":113},"B":[{"T":6}]})";
const std::string REPLY = R"({"H":{"V":113},"B":[{"T":7,"I":0,"ER":0,"DT":{"7-1":"a","7-2":"b","7-3":"c"}}]})";

class TlsClient : public ::testing::Test
{
protected:
    static cert_set* certs;
    static void SetUpTestSuite() { certs = new cert_set(); }
    static void TearDownTestSuite()
    {
        delete certs;
        certs = nullptr;
    }
    void SetUp() override { signal(SIGPIPE, SIG_DFL); }

    // A server that presents `name`.crt and requires the device certificate.
    static std::vector<std::string> server_options(const std::string& name, const std::string& version = "-tls1_3")
    {
        return { version, "-cert", certs->path(name + ".crt"), "-key", certs->path(name + ".pem"), "-Verify", "1",
            "-CAfile", certs->path("dev.crt"), "-verify_return_error" };
    }
    static tls_cred_files device() { return { certs->path("dev.pem"), certs->path("dev.crt") }; }

    // init, socket, connect; the handshake is the test's.
    static void open(WolfSSL_tls_client& client, int port, int timeout = 10)
    {
        wolfSSL_Init();
        ASSERT_EQ(client.init(device(), certs->path("srv.crt")), 1);
        ASSERT_TRUE(client.create_socket(timeout));
        ASSERT_EQ(client.connect("127.0.0.1", port), 1);
    }
};
cert_set* TlsClient::certs = nullptr;

TEST_F(TlsClient, ExchangesAMessageWithThePinnedServer)
{
    s_server server(server_options("srv"));
    WolfSSL_tls_client client;
    open(client, server.port());
    ASSERT_EQ(client.do_handshake(), 1);
    EXPECT_EQ(client.state(), WolfSSL_tls_client::TLS_ESTABLISHED);
    ASSERT_EQ(client.send(REQUEST), 1);
    server.say(REPLY + "\n");
    std::string answer;
    ASSERT_EQ(client.receive(answer, 10), 1);
    EXPECT_EQ(answer.substr(0, REPLY.size()), REPLY);
    client.close();
    EXPECT_EQ(client.state(), WolfSSL_tls_client::NOT_CONNECTED);

    const std::string& seen = server.output();
    EXPECT_NE(seen.find(REQUEST), std::string::npos) << seen;
    // The device presented its certificate and the server verified it.
    EXPECT_NE(seen.find("CN = device.quillmesh.test"), std::string::npos) << seen;
}

TEST_F(TlsClient, RefusesEveryServerCertificateButThePinnedOne)
{
    for (const char* presented : { "forged", "other", "dev" }) {
        s_server server(server_options(presented));
        log_capture log;
        WolfSSL_tls_client client;
        open(client, server.port());
        EXPECT_EQ(client.do_handshake(), 0) << presented;
        EXPECT_EQ(client.state(), WolfSSL_tls_client::TCP_CONNECTED);
        ASSERT_EQ(log.lines().size(), 1u) << presented;
        EXPECT_EQ(log.lines()[0].priority, LOG_DEBUG);
        EXPECT_EQ(log.lines()[0].text.rfind("An error occured during TLS handshake (", 0), 0u) << log.lines()[0].text;
        EXPECT_THROW(client.send(REQUEST), GenericError);
        client.close();
    }
}

// Writing to a server that has gone must fail the send, not end the daemon with SIGPIPE.
TEST_F(TlsClient, SendToAServerThatHasGoneFails)
{
    WolfSSL_tls_client client;
    {
        s_server server(server_options("srv"));
        open(client, server.port());
        ASSERT_EQ(client.do_handshake(), 1);
    }
    log_capture log;
    std::string big = "{\"k\":\"" + std::string(1 << 20, 'x') + "\"}";
    EXPECT_EQ(client.send(big), 0);
    EXPECT_EQ(log.lines(), (std::vector<log_line> { { LOG_ERR, "Failed to write in the socket." } }));
    client.close();
}

TEST_F(TlsClient, RefusesATls12OnlyServer)
{
    s_server server(server_options("srv", "-tls1_2"));
    log_capture log;
    WolfSSL_tls_client client;
    open(client, server.port());
    EXPECT_EQ(client.do_handshake(), 0);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].text.rfind("An error occured during TLS handshake (", 0), 0u);
    client.close();
}

TEST_F(TlsClient, ReadsAReplyInSeveralRecordsUntilTheBracesBalance)
{
    s_server server(server_options("srv"));
    WolfSSL_tls_client client;
    open(client, server.port());
    ASSERT_EQ(client.do_handshake(), 1);
    ASSERT_EQ(client.send(REQUEST), 1);
    std::thread peer([&] {
        for (std::size_t at = 0; at < REPLY.size(); at += 20) {
            server.say(REPLY.substr(at, 20));
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
    });
    std::string answer;
    EXPECT_EQ(client.receive(answer, 10), 1);
    peer.join();
    EXPECT_EQ(answer, REPLY);
    client.close();
}

TEST_F(TlsClient, ServerSilentMidMessageEndsTheReceiveWithTheTimeoutLine)
{
    s_server server(server_options("srv"));
    WolfSSL_tls_client client;
    open(client, server.port(), 1);
    ASSERT_EQ(client.do_handshake(), 1);
    server.say(R"({"H":{"V":113},"B":[)");
    log_capture log;
    std::string answer;
    EXPECT_EQ(client.receive(answer, 2), 0);
    EXPECT_EQ(log.lines(),
        (std::vector<log_line> { { LOG_DEBUG, R"(Recv failed: Ended by timeout [{"H":{"V":113},"B":[])" } }));
    client.close();
}

TEST_F(TlsClient, ServerThatNeverFinishesTheHandshakeIsGivenUp)
{
    fd_owner listener(tcp_create_srv_socket(0, "127.0.0.1"));
    ASSERT_NE(listener.fd, -1);
    struct sockaddr_in addr {
    };
    socklen_t len = sizeof addr;
    getsockname(listener.fd, reinterpret_cast<struct sockaddr*>(&addr), &len);
    WolfSSL_tls_client client;
    // Within one call the library would wait for several receive timeouts (5 s each here); no
    // read waits past the time limit.
    client.set_handshake_limits(WolfSSL_tls_client::MAX_HANDSHAKE_RETRIES, 1);
    open(client, ntohs(addr.sin_port), 5);
    log_capture log;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(client.do_handshake(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].text.rfind("An error occured during TLS handshake (", 0), 0u);
    client.close();
}

TEST_F(TlsClient, InitFailures)
{
    wolfSSL_Init();
    log_capture log;
    WolfSSL_tls_client client;
    const log_line mismatch { LOG_ERR, "tls_client_init: Private key does not match the public certificate." };
    // Keys that belong to another certificate of the same kind, and of another kind.
    for (auto pair : { std::make_pair("other.pem", "dev.crt"), std::make_pair("rsa2.pem", "rsa.crt"),
             std::make_pair("rsa.pem", "dev.crt"), std::make_pair("dev.pem", "rsa.crt") }) {
        log.clear();
        EXPECT_EQ(client.init({ certs->path(pair.first), certs->path(pair.second) }, certs->path("srv.crt")), 0)
            << pair.first;
        EXPECT_EQ(log.lines(), (std::vector<log_line> { mismatch })) << pair.first << " " << pair.second;
    }
    EXPECT_EQ(client.init({ certs->path("rsa.pem"), certs->path("rsa.crt") }, certs->path("srv.crt")), 1);
    log.clear();
    EXPECT_EQ(client.init({ certs->path("dev.pem"), certs->path("dev.crt") }, certs->path("missing.crt")), 0);
    EXPECT_EQ(client.init({ certs->path("dev.pem"), certs->path("missing.crt") }, certs->path("srv.crt")), 0);
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(log.lines()[0], (log_line { LOG_ERR, "tls_client_init: Failed to load a trusted peer certificate." }));
    EXPECT_EQ(log.lines()[1].text.rfind("tls_client_init: failed (", 0), 0u) << log.lines()[1].text;
    // Not initialised: connecting is misuse.
    EXPECT_TRUE(client.create_socket(10));
    EXPECT_THROW(client.connect("127.0.0.1", 1), GenericError);
    client.close();
}

TEST_F(TlsClient, MisuseThrowsTheNamedTexts)
{
    wolfSSL_Init();
    WolfSSL_tls_client client;
    auto text = [](const std::function<void()>& f) -> std::string {
        try {
            f();
        } catch (const GenericError& e) {
            return e.what();
        }
        return "(nothing thrown)";
    };
    std::string out;
    EXPECT_EQ(
        text([&] { client.connect("127.0.0.1", 1); }), "WolfSSL_tls_client::connect: Object was not initialized.");
    EXPECT_EQ(
        text([&] { client.do_handshake(); }), "WolfSSL_tls_client::do_handshake: The connection is not established.");
    EXPECT_EQ(text([&] { client.send("{}"); }),
        "WolfSSL_tls_client::send: Can not send a message - TLS connection is not established.");
    EXPECT_EQ(text([&] { client.receive(out, 10); }),
        "WolfSSL_tls_client::send: Cannot read messages - TLS connection is not established.");
    client.close();
}

TEST_F(TlsClient, ConnectFailuresAreLogged)
{
    fd_owner listener(tcp_create_srv_socket(0, "127.0.0.1"));
    struct sockaddr_in addr {
    };
    socklen_t len = sizeof addr;
    getsockname(listener.fd, reinterpret_cast<struct sockaddr*>(&addr), &len);
    int port = ntohs(addr.sin_port);
    listener.close(); // nothing listens there now

    log_capture log;
    WolfSSL_tls_client client;
    wolfSSL_Init();
    ASSERT_EQ(client.init(device(), certs->path("srv.crt")), 1);
    ASSERT_TRUE(client.create_socket(10));
    EXPECT_EQ(client.connect("127.0.0.1", port), 0);
    EXPECT_EQ(client.connect("not-an-address", port), 0);
    EXPECT_EQ(
        log.lines(), (std::vector<log_line> { { LOG_ERR, "Connection refused" }, { LOG_ERR, "Invalid argument" } }));
    client.close();
}

} // namespace
