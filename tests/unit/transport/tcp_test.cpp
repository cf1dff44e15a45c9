#include "common/handles.h"
#include "common/log.h"
#include "common/system.h"
#include "support/test_support.h"
#include "transport/tcp.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace
{

// Both ends of a connected stream socket pair, closed on every path.
struct stream_pair {
    fd_owner reader;
    fd_owner writer;
    stream_pair()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        reader.fd = fds[0];
        writer.fd = fds[1];
    }
    void set_read_timeout(int seconds)
    {
        struct timeval tv = { seconds, 0 };
        setsockopt(reader.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
};

void send_all(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

TEST(BraceBalance, EdgeCases)
{
    struct {
        std::string bytes;
        bool complete;
    } cases[] = {
        { "{}", true },
        { R"({"a":{})", false },
        { "}{", true },
        { "", false },
        { std::string("\0{}", 3), false },
        { std::string("{\0}", 3), false },
        { "no braces", false },
        { R"({"a":"}"})", true }, // the brace in the string closes the message early
        { R"({"a":"{"})", false }, // the brace in the string keeps it open
        { "}}{{", true },
        { "}}{", false },
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_msg_complete(c.bytes.data(), c.bytes.size()), c.complete) << c.bytes;
}

// Fed in any two pieces, the counts kept across reads give the answer of one pass over every
// prefix.
TEST(BraceBalance, KeptAcrossPiecesMatchesOnePass)
{
    const std::string texts[] = {
        R"({"H":{"V":113},"B":[{"T":13,"DT":{"13-1":"a{b"}}]})",
        R"({"a":"}"}tail)",
        std::string("{\"x\":1\0}", 8),
        "}{{}}",
    };
    for (const std::string& text : texts) {
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            for (std::size_t end = cut; end <= text.size(); ++end) {
                brace_balance balance;
                balance.feed(text.data(), cut);
                bool got = balance.feed(text.data() + cut, end - cut);
                EXPECT_EQ(got, is_msg_complete(text.data(), end)) << text << " cut " << cut << " end " << end;
            }
        }
    }
}

TEST(MsgAssembler, BufferDoublesFrom9000To18000To36000)
{
    msg_assembler msg;
    EXPECT_EQ(msg.capacity(), 9000u);
    std::size_t sent = 0;
    while (sent < 20000) {
        std::size_t n = std::min<std::size_t>(msg.room(), 1400);
        n = std::min(n, 20000 - sent);
        std::memset(msg.space(), '{', n);
        EXPECT_EQ(msg.commit(n), msg_assembler::INCOMPLETE);
        sent += n;
        if (sent == 8999) {
            EXPECT_EQ(msg.capacity(), 18000u);
        }
    }
    EXPECT_EQ(msg.capacity(), 36000u);
    EXPECT_EQ(msg.text(), std::string(20000, '{'));
}

TEST(MsgAssembler, StopsAtTheSizeLimit)
{
    msg_assembler msg(20000);
    msg_assembler::status status = msg_assembler::INCOMPLETE;
    while (status == msg_assembler::INCOMPLETE) {
        std::size_t n = msg.room();
        ASSERT_GT(n, 0u);
        std::memset(msg.space(), 'x', n);
        status = msg.commit(n);
    }
    EXPECT_EQ(status, msg_assembler::TOO_LARGE);
    EXPECT_EQ(msg.received(), 20000u);
}

TEST(TcpReadMsg, SplitAtEveryByteGivesTheSameMessage)
{
    const std::string message = R"({"H":{"V":113},"B":[{"T":13,"DT":{"13-1":"x"}}]})";
    for (std::size_t cut = 1; cut < message.size(); ++cut) {
        stream_pair pair;
        std::thread peer([&] {
            send_all(pair.writer.fd, message.substr(0, cut));
            usleep(1000);
            send_all(pair.writer.fd, message.substr(cut));
        });
        std::string out;
        EXPECT_TRUE(tcp_read_msg(pair.reader.fd, out)) << cut;
        EXPECT_EQ(out, message) << cut;
        peer.join();
    }
}

TEST(TcpReadMsg, MessageGrowsPastTheInitialBuffer)
{
    for (std::size_t size : { 8998u, 8999u, 9000u, 18000u, 20000u, 100000u }) {
        std::string message = "{\"k\":\"" + std::string(size - 8, 'a') + "\"}";
        stream_pair pair;
        std::thread peer([&] { send_all(pair.writer.fd, message); });
        std::string out;
        EXPECT_TRUE(tcp_read_msg(pair.reader.fd, out)) << size;
        EXPECT_EQ(out, message) << size;
        peer.join();
    }
}

TEST(TcpReadMsg, PeerClosingEarlyOrSilentGivesNoMessage)
{
    log_capture log;
    {
        stream_pair pair;
        send_all(pair.writer.fd, "{\"a\":" + std::string(20000, ' '));
        pair.writer.close();
        std::string out = "old";
        EXPECT_FALSE(tcp_read_msg(pair.reader.fd, out));
        EXPECT_EQ(out, "");
    }
    {
        stream_pair pair;
        pair.set_read_timeout(1);
        send_all(pair.writer.fd, "{\"a\":");
        std::string out;
        EXPECT_FALSE(tcp_read_msg(pair.reader.fd, out));
    }
    EXPECT_TRUE(log.lines().empty());
}

TEST(TcpReadMsg, MessageOverTheLimitFailsWithALogLine)
{
    log_capture log;
    stream_pair pair;
    std::thread peer([&] {
        std::string chunk(1 << 20, '{');
        for (std::size_t sent = 0; sent <= QM_MAX_MSG_SIZE; sent += chunk.size())
            send_all(pair.writer.fd, chunk);
    });
    std::string out;
    EXPECT_FALSE(tcp_read_msg(pair.reader.fd, out));
    pair.reader.close(); // ends the peer's writes
    peer.join();
    EXPECT_EQ(log.lines(),
        (std::vector<log_line> { { LOG_ERR, "Reading from socket stopped: the message exceeds 67108864 bytes." } }));
}

TEST(TcpReadMsg, ReadErrorIsLogged)
{
    log_capture log;
    std::string out;
    EXPECT_FALSE(tcp_read_msg(-1, out));
    EXPECT_EQ(log.lines(),
        (std::vector<log_line> { { LOG_ERR, "Reading from socket failed: [-1] -> Bad file descriptor" } }));
}

void on_alarm(int) { }

// A signal that interrupts the read resumes it, unless SIGTERM arrived.
TEST(TcpReadMsg, InterruptedReadResumesUnlessSigtermArrived)
{
    struct sigaction action {
    };
    action.sa_handler = on_alarm; // no SA_RESTART: read() returns EINTR
    struct sigaction previous {
    };
    sigaction(SIGALRM, &action, &previous);
    struct itimerval soon = { { 0, 0 }, { 0, 100000 } };
    log_capture log;
    {
        stream_pair pair;
        std::thread peer([&] {
            usleep(300000);
            send_all(pair.writer.fd, "{}");
        });
        setitimer(ITIMER_REAL, &soon, nullptr);
        std::string out;
        EXPECT_TRUE(tcp_read_msg(pair.reader.fd, out));
        EXPECT_EQ(out, "{}");
        peer.join();
    }
    {
        stream_pair pair;
        pair.set_read_timeout(3);
        SIGTERM_ARRIVED = 1;
        setitimer(ITIMER_REAL, &soon, nullptr);
        std::string out;
        EXPECT_FALSE(tcp_read_msg(pair.reader.fd, out));
        SIGTERM_ARRIVED = 0;
    }
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(log.lines(),
        (std::vector<log_line> { { LOG_ERR, "Reading from socket failed: [-1] -> Interrupted system call" } }));
}

TEST(OvpnWrite, WholeTextArrivesThroughPartialWrites)
{
    stream_pair pair;
    int small = 4096;
    setsockopt(pair.writer.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::string text(1 << 20, 'q');
    std::string received;
    std::thread peer([&] {
        char buf[1000]; // a slow reader keeps the kernel accepting only parts
        ssize_t n;
        while ((n = read(pair.reader.fd, buf, sizeof buf)) > 0)
            received.append(buf, static_cast<std::size_t>(n));
    });
    EXPECT_TRUE(ovpn_write(pair.writer.fd, text));
    pair.writer.close();
    peer.join();
    EXPECT_EQ(received, text);
}

TEST(OvpnWrite, ClosedPeerFailsWithoutEndingTheProcess)
{
    log_capture log;
    stream_pair pair;
    pair.reader.close();
    EXPECT_FALSE(ovpn_write(pair.writer.fd, "{}"));
    EXPECT_EQ(log.lines(), (std::vector<log_line> { { LOG_ERR, "ovpn_write: failed: [-1] -> Broken pipe\n" } }));
}

TEST(TcpSockets, ClientSocketTimeouts)
{
    fd_owner with(tcp_create_cli_socket(10));
    ASSERT_NE(with.fd, -1);
    struct timeval tv {
    };
    socklen_t len = sizeof tv;
    getsockopt(with.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
    EXPECT_EQ(tv.tv_sec, 10);
    getsockopt(with.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
    EXPECT_EQ(tv.tv_sec, 10);
    int reuse = 0;
    len = sizeof reuse;
    getsockopt(with.fd, SOL_SOCKET, SO_REUSEADDR, &reuse, &len);
    EXPECT_EQ(reuse, 1);

    fd_owner without(tcp_create_cli_socket(0));
    ASSERT_NE(without.fd, -1);
    len = sizeof tv;
    getsockopt(without.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
    EXPECT_EQ(tv.tv_sec, 0);
}

uint16_t bound_port(int fd, std::string* address = nullptr)
{
    struct sockaddr_in addr {
    };
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len);
    if (address)
        *address = inet_ntoa(addr.sin_addr);
    return ntohs(addr.sin_port);
}

TEST(TcpSockets, ServerSocketListensAndServesAMessage)
{
    fd_owner any(tcp_create_srv_socket(0, ""));
    ASSERT_NE(any.fd, -1);
    std::string address;
    bound_port(any.fd, &address);
    EXPECT_EQ(address, "0.0.0.0");

    fd_owner server(tcp_create_srv_socket(0, "127.0.0.1"));
    ASSERT_NE(server.fd, -1);
    uint16_t port = bound_port(server.fd, &address);
    EXPECT_EQ(address, "127.0.0.1");

    fd_owner client(tcp_create_cli_socket(5));
    struct sockaddr_in to {
    };
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ASSERT_EQ(connect(client.fd, reinterpret_cast<struct sockaddr*>(&to), sizeof to), 0);
    fd_owner accepted(accept(server.fd, nullptr, nullptr));
    ASSERT_TRUE(ovpn_write(client.fd, R"({"H":{"V":113},"B":[]})"));
    std::string out;
    EXPECT_TRUE(tcp_read_msg(accepted.fd, out));
    EXPECT_EQ(out, R"({"H":{"V":113},"B":[]})");

    // The port is taken now (listening, not merely in TIME_WAIT).
    log_capture log;
    EXPECT_EQ(tcp_create_srv_socket(port, "127.0.0.1"), -1);
    EXPECT_EQ(log.lines(),
        (std::vector<log_line> { { LOG_ERR,
            "Unable to bind() to address: 127.0.0.1 and port " + std::to_string(port)
                + ": Address already in use" } }));
}

TEST(TcpSockets, ServerAddressThatIsNotAnAddressIsRefused)
{
    log_capture log;
    EXPECT_EQ(tcp_create_srv_socket(0, "10.0.0"), -1);
    EXPECT_EQ(log.lines(),
        (std::vector<log_line> { { LOG_ERR, "Unable to bind() to address: 10.0.0 and port 0: Invalid argument" } }));
}

TEST(TcpConnection, ClosesOnceAndMoves)
{
    fd_owner a(tcp_create_cli_socket(0));
    int fd = a.fd;
    fd_owner b(std::move(a));
    EXPECT_EQ(a.fd, -1);
    EXPECT_EQ(b.fd, fd);
    b.close();
    EXPECT_EQ(b.fd, -1);
    b.close();
}

} // namespace
