#include "transport/tcp.h"

#include "common/log.h"
#include "common/system.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

bool is_msg_complete(const char* bytes, std::size_t length)
{
    brace_balance balance;
    return balance.feed(bytes, length);
}

bool brace_balance::feed(const char* bytes, std::size_t length)
{
    if (complete_ || stopped_)
        return complete_;
    std::size_t open = open_;
    std::size_t close = close_;
    for (std::size_t i = 0; i < length; ++i) {
        char c = bytes[i];
        if (c == '{') {
            ++open;
        } else if (c == '}') {
            ++close;
        } else if (c == '\0') {
            stopped_ = true;
            break;
        } else {
            continue;
        }
        if (open != 0 && open == close) {
            complete_ = true;
            break;
        }
    }
    open_ = open;
    close_ = close;
    return complete_;
}

msg_assembler::msg_assembler(std::size_t max_size)
    : buffer_(QM_RECV_BUFFER_SIZE, '\0')
    , max_size_(max_size)
{
}

msg_assembler::status msg_assembler::commit(std::size_t count)
{
    const char* fresh = &buffer_[received_];
    received_ += count;
    if (balance_.feed(fresh, count))
        return COMPLETE;
    if (received_ == buffer_.size() - 1) {
        if (received_ >= max_size_)
            return TOO_LARGE;
        // Doubles, but never past room for max_size_ bytes and the closing zero byte.
        std::size_t grown = buffer_.size() * 2;
        if (grown > max_size_ + 1)
            grown = max_size_ + 1;
        buffer_.resize(grown, '\0');
    }
    return INCOMPLETE;
}

std::string msg_assembler::text() const
{
    return std::string(buffer_.c_str());
}

std::string msg_assembler::take()
{
    std::string out;
    out.swap(buffer_);
    out.resize(strnlen(out.c_str(), received_));
    buffer_.assign(QM_RECV_BUFFER_SIZE, '\0');
    received_ = 0;
    balance_.reset();
    return out;
}

int tcp_create_cli_socket(int timeout)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        qm_log(LOG_ERR, "tcp_create_cli_socket: Unable to create socket: %s", strerror(errno));
        return -1;
    }
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        qm_log(LOG_ERR, "tcp_create_cli_socket: setting socket to SO_REUSEADDR has failed.");
        ::close(fd);
        return -1;
    }
    if (timeout == 0)
        return fd;
    struct timeval tv = { timeout, 0 };
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0
        || setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
        qm_log(LOG_ERR, "tcp_create_cli_socket: setting timeout to a socket has failed\n");
        ::close(fd);
        return -1;
    }
    return fd;
}

int tcp_create_srv_socket(int port, const std::string& address)
{
    struct sockaddr_in addr {
    };
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (address.empty()) {
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        // Not a dotted quad: binding to whatever stood in the structure would be wrong.
        qm_log(LOG_ERR, "Unable to bind() to address: %s and port %i: %s", address.c_str(), port, strerror(EINVAL));
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        qm_log(LOG_ERR, "Unable to create a socket: %s", strerror(errno));
        return -1;
    }
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        qm_log(LOG_WARNING, "Unable to set SO_REUSEADDR socket option: %s", strerror(errno));
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        qm_log(LOG_ERR, "Unable to bind() to address: %s and port %i: %s", address.c_str(), port, strerror(errno));
        ::close(fd);
        return -1;
    }
    if (listen(fd, 1) != 0) {
        qm_log(LOG_ERR, "Unable to listen(): %s", strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

bool tcp_read_msg(int fd, std::string& out)
{
    out.clear();
    msg_assembler msg;
    for (;;) {
        ssize_t n = read(fd, msg.space(), msg.room());
        if (n > 0) {
            switch (msg.commit(static_cast<std::size_t>(n))) {
            case msg_assembler::COMPLETE:
                out = msg.take();
                return true;
            case msg_assembler::TOO_LARGE:
                qm_log(LOG_ERR, "Reading from socket stopped: the message exceeds %zu bytes.", QM_MAX_MSG_SIZE);
                return false;
            case msg_assembler::INCOMPLETE:
                continue;
            }
        }
        if (n == 0)
            return false;
        if (errno == EINTR && !SIGTERM_ARRIVED)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return false;
        qm_log(LOG_ERR, "Reading from socket failed: [%d] -> %s", static_cast<int>(n), strerror(errno));
        return false;
    }
}

namespace
{

// A peer that closed its end must fail the write, not end the daemon with SIGPIPE.
ssize_t write_some(int fd, const char* data, std::size_t length)
{
    ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK)
        n = write(fd, data, length);
    return n;
}

} // namespace

bool ovpn_write(int fd, const std::string& text)
{
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = write_some(fd, data, left);
        if (n <= 0) {
            qm_log(LOG_ERR, "ovpn_write: failed: [%i] -> %s\n", static_cast<int>(n), strerror(errno));
            return false;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}
