// Arbitrary byte streams in arbitrary pieces, as a peer's reads would deliver them: the
// completeness kept across pieces must agree with one pass of the brace test over everything
// received, the text handed out must be what was received, and the reader on a real socket
// must reach the same verdict.
#include "common/log.h"
#include "transport/tcp.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// A small bound so that the size limit is reached often.
constexpr std::size_t FUZZ_MAX_MSG = 30000;

void check(bool condition)
{
    if (!condition)
        abort();
}

// The brace test written out plainly: the number of bytes after which the message is first
// complete, or 0 when it never is.
std::size_t first_balance(const std::string& bytes)
{
    std::size_t open = 0, close = 0;
    for (std::size_t i = 0; i < bytes.size() && bytes[i] != '\0'; ++i) {
        open += bytes[i] == '{';
        close += bytes[i] == '}';
        if (open > 0 && open == close)
            return i + 1;
    }
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qm_set_log_sink([](int, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // The first byte chooses the piece sizes, the second how often the stream repeats: a few
    // times mostly, and with its top bit set often enough to grow past the initial buffer and
    // reach the bound.
    const std::size_t piece = 1 + data[0] * 7u;
    const std::size_t repeat = (data[1] & 0x80) ? 1 + (data[1] & 0x0f) * 500u : 1 + (data[1] & 0x03);
    std::string stream;
    for (std::size_t i = 0; i < repeat && stream.size() <= FUZZ_MAX_MSG + 1; ++i)
        stream.append(reinterpret_cast<const char*>(data + 2), size - 2);

    const std::size_t end = first_balance(stream);
    check(is_msg_complete(stream.data(), stream.size()) == (end != 0));

    msg_assembler msg(FUZZ_MAX_MSG);
    std::size_t fed = 0;
    msg_assembler::status status = msg_assembler::INCOMPLETE;
    while (fed < stream.size() && status == msg_assembler::INCOMPLETE) {
        std::size_t n = std::min({ piece, msg.room(), stream.size() - fed });
        std::memcpy(msg.space(), stream.data() + fed, n);
        fed += n;
        status = msg.commit(n);
        check((status == msg_assembler::COMPLETE) == (end != 0 && fed >= end));
        check(status != msg_assembler::TOO_LARGE || fed == FUZZ_MAX_MSG);
    }
    if (status == msg_assembler::COMPLETE) {
        std::string received = stream.substr(0, fed);
        check(msg.take() == std::string(received.c_str()));
    }

    // The same stream through a socket pair, read by the daemon's reader.
    if (stream.size() < 100000) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            return 0;
        int buf = 1 << 18;
        setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
        ssize_t written = send(fds[1], stream.data(), stream.size(), MSG_NOSIGNAL);
        close(fds[1]);
        if (written == static_cast<ssize_t>(stream.size())) {
            std::string out;
            bool complete = tcp_read_msg(fds[0], out);
            check(complete == (end != 0));
        }
        close(fds[0]);
    }
    return 0;
}
