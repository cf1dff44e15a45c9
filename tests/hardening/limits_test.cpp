// Messages at the limits of the framing and the reader: deep nesting, braces inside strings.
// Each is read from a real socket and handed to the control dispatch as the daemon does; none
// may crash it or reach an operation, and every answer given is a refusal.
#include "common/log.h"
#include "control/dispatch.h"
#include "control/managing_socket.h"
#include "support/test_support.h"
#include "transport/tcp.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{
std::string repeat(const std::string& text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

// Sends `data` from one end of a socket pair, closes it, and reads one message at the other.
bool read_through_socket(const std::string& data, std::string& message)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return false;
    std::thread peer([&] {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = send(fds[1], data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        shutdown(fds[1], SHUT_WR);
    });
    bool read = tcp_read_msg(fds[0], message);
    close(fds[0]);
    peer.join();
    close(fds[1]);
    return read;
}

// The dispatch either gives no answer or answers with a non-zero error code.
void expect_refused(const std::string& message)
{
    std::string response;
    if (!process_control_msg(message, response))
        return;
    cJSON* root = cJSON_Parse(response.c_str());
    ASSERT_NE(root, nullptr) << response;
    const cJSON* segment = cJSON_GetArrayItem(cJSON_GetObjectItem(root, "B"), 0);
    const cJSON* error = cJSON_GetObjectItem(segment, "ER");
    EXPECT_TRUE(cJSON_IsNumber(error) && error->valueint != 0) << response;
    cJSON_Delete(root);
}
} // namespace

TEST(limits, ten_thousand_nested_braces_are_one_message_that_is_refused)
{
    log_capture log;
    const std::string bare = repeat("{", 10000) + repeat("}", 10000);
    const std::string in_envelope
        = "{\"H\":{\"V\":113},\"B\":[{\"T\":13,\"DT\":" + repeat("{\"a\":", 10000) + "0" + repeat("}", 10000) + "}]}";
    const std::string arrays = "{\"H\":{\"V\":113},\"B\":" + repeat("[", 10000) + repeat("]", 10000) + "}";
    for (const std::string& data : { bare, in_envelope, arrays }) {
        std::string message;
        ASSERT_TRUE(read_through_socket(data, message));
        EXPECT_EQ(message, data);
        expect_refused(message);
    }
}

TEST(limits, braces_inside_strings_never_make_an_answer_out_of_a_cut_message)
{
    log_capture log;
    // Closing braces in a string balance the count early: what is read is the whole message or
    // the part up to that point, and either way the request (of an unknown type) is refused.
    const std::string closing = "{\"H\":{\"V\":113},\"B\":[{\"T\":99,\"DT\":{\"x\":\"}}}}\"}}]}";
    std::string message;
    ASSERT_TRUE(read_through_socket(closing, message));
    EXPECT_EQ(0u, closing.compare(0, message.size(), message));
    EXPECT_GE(message.size(), closing.find("\"}") + 2);
    expect_refused(message);
    expect_refused(closing.substr(0, closing.find("\"}") + 2));

    // Opening braces in a string keep the message open until the peer gives up.
    const std::string opening = "{\"H\":{\"V\":113},\"B\":[{\"T\":15,\"DT\":{\"x\":\"{{{{\"}}]}";
    EXPECT_FALSE(read_through_socket(opening, message));
}

TEST(limits, a_zero_byte_before_the_braces_balance_leaves_the_message_unfinished)
{
    log_capture log;
    std::string message;
    static const char data[] = "{\"H\":{\"V\":113},\0\"B\":[]}";
    EXPECT_FALSE(read_through_socket(std::string(data, sizeof data - 1), message));
}
