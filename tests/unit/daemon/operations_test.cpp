// The socket operations of the real table, on loopback.
#include "daemon/operations.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace
{

class LoopbackPair : public ::testing::Test
{
protected:
    void SetUp() override
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(listener, 0);
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        socklen_t length = sizeof address;
        ASSERT_EQ(getsockname(listener, reinterpret_cast<struct sockaddr*>(&address), &length), 0);
        port = address.sin_port;
    }
    void TearDown() override
    {
        for (int fd : { client, accepted, listener }) {
            if (fd >= 0)
                close(fd);
        }
    }
    void connect_client()
    {
        client = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        address.sin_port = port;
        ASSERT_EQ(connect(client, reinterpret_cast<struct sockaddr*>(&address), sizeof address), 0);
    }

    rm_operations ops = real_operations();
    int listener = -1;
    int client = -1;
    int accepted = -1;
    in_port_t port = 0;
};

TEST_F(LoopbackPair, SelectTimesOutOnAnIdleListenerAndSeesAWaitingConnection)
{
    EXPECT_EQ(ops.select(listener, 0), 0);
    connect_client();
    EXPECT_EQ(ops.select(listener, 5), 1);
}

TEST_F(LoopbackPair, PeerAddressComesInTheByteOrderOfTheExpectedCsAddress)
{
    connect_client();
    accepted = accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    uint32_t peer = 0;
    ASSERT_EQ(ops.peer_address(accepted, &peer), 0);
    EXPECT_EQ(peer, inet_addr("127.0.0.1"));
    EXPECT_EQ(ops.peer_address(listener, &peer), -1); // a listener has no peer
}

TEST_F(LoopbackPair, ReceiveTimeoutIsSetInWholeSeconds)
{
    connect_client();
    accepted = accept(listener, nullptr, nullptr);
    ASSERT_EQ(ops.set_receive_timeout(accepted, 10), 0);
    struct timeval timeout = {};
    socklen_t length = sizeof timeout;
    ASSERT_EQ(getsockopt(accepted, SOL_SOCKET, SO_RCVTIMEO, &timeout, &length), 0);
    EXPECT_EQ(timeout.tv_sec, 10);
    EXPECT_EQ(timeout.tv_usec, 0);
    EXPECT_EQ(ops.set_receive_timeout(-1, 10), -1);
}

TEST_F(LoopbackPair, RequestIsReadWholeAndTheResponseWrittenBack)
{
    connect_client();
    accepted = accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    const std::string request = "{\"H\":{\"V\":113},\"B\":[]}";
    ASSERT_EQ(write(client, request.data(), 9), 9);
    ASSERT_EQ(write(client, request.data() + 9, request.size() - 9), static_cast<ssize_t>(request.size() - 9));
    std::string message;
    ASSERT_TRUE(ops.read_message(accepted, message));
    EXPECT_EQ(message, request);

    ASSERT_TRUE(ops.ovpn_write(accepted, "{\"B\":[]}"));
    char answer[16] = { 0 };
    EXPECT_EQ(read(client, answer, sizeof answer - 1), 8);
    EXPECT_STREQ(answer, "{\"B\":[]}");
}

TEST(RealOperations, EveryEntryIsWired)
{
    rm_operations ops = real_operations();
    EXPECT_TRUE(ops.obtain_cs_ip && ops.register_on_cs && ops.get_ovpn_detail_approval && ops.obtain_ovpn_details);
    EXPECT_TRUE(ops.ovpn_credentials_present && ops.ovpn_credentials_delete && ops.ovpn_stop && ops.ovpn_restart
        && ops.tunnel_status && ops.cs_reachable && ops.flush_one_to_one_nat);
    EXPECT_TRUE(ops.tunnel_device && ops.remote_address && ops.iface_addr_mask);
    EXPECT_TRUE(ops.create_managing_socket && ops.select && ops.accept_control_connection && ops.peer_address
        && ops.set_receive_timeout && ops.read_message && ops.process_control_msg && ops.ovpn_write && ops.close);
    EXPECT_TRUE(ops.apply_staged_files && ops.module_download && ops.module_install);
}

} // namespace
