#include "transport/tls_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/error.h"
#include "common/log.h"
#include "daemon/process_utils.h"
#include "transport/tcp.h"

WolfSSL_tls_client::~WolfSSL_tls_client()
{
    // A caller that left on an unexpected path still releases everything exactly once.
    if (ssl_ || ctx_ || sock_ != -1)
        close();
}

std::string WolfSSL_tls_client::error_text() const
{
    int code = wolfSSL_get_error(ssl_, 0);
    char text[80] = {0};
    wolfSSL_ERR_error_string(static_cast<unsigned long>(code), text);
    return std::string(text) + "(" + std::to_string(code) + ")";
}

void WolfSSL_tls_client::free_context()
{
    if (ctx_) {
        wolfSSL_CTX_free(ctx_);
        ctx_ = nullptr;
    }
}

void WolfSSL_tls_client::close()
{
    if (ssl_) {
        wolfSSL_free(ssl_);
        ssl_ = nullptr;
    }
    free_context();
    wolfSSL_Cleanup();
    if (sock_ != -1) {
        ::close(sock_);
        sock_ = -1;
    }
    state_ = NOT_CONNECTED;
}

int WolfSSL_tls_client::init(const tls_cred_files& cred, const std::string& trusted_peer_cert)
{
    close();
    ctx_ = wolfSSL_CTX_new(wolfTLSv1_3_client_method());
    if (!ctx_) {
        qm_log(LOG_ERR, "tls_client_init: Unable to create SSL context");
        return 0;
    }
    if (wolfSSL_CTX_use_certificate_file(ctx_, cred.cert_file.c_str(), SSL_FILETYPE_PEM) != SSL_SUCCESS ||
        wolfSSL_CTX_use_PrivateKey_file(ctx_, cred.key_file.c_str(), SSL_FILETYPE_PEM) != SSL_SUCCESS) {
        qm_log(LOG_ERR, "tls_client_init: failed (%s)", error_text().c_str());
        free_context();
        return 0;
    }
    if (wolfSSL_CTX_check_private_key(ctx_) != SSL_SUCCESS) {
        qm_log(LOG_ERR, "tls_client_init: Private key does not match the public certificate.");
        free_context();
        return 0;
    }
    if (wolfSSL_CTX_trust_peer_cert(ctx_, trusted_peer_cert.c_str(), SSL_FILETYPE_PEM) != 1) {
        qm_log(LOG_ERR, "tls_client_init: Failed to load a trusted peer certificate.");
        free_context();
        return 0;
    }
    // The library's compatibility layer leaves the server unverified unless asked; without
    // this any certificate would pass and the pinning above would mean nothing.
    wolfSSL_CTX_set_verify(ctx_, WOLFSSL_VERIFY_PEER, nullptr);
    return 1;
}

bool WolfSSL_tls_client::create_socket(int timeout)
{
    if (sock_ != -1) {
        ::close(sock_);
        sock_ = -1;
    }
    sock_ = tcp_create_cli_socket(timeout);
    return sock_ != -1;
}

int WolfSSL_tls_client::connect(const std::string& address, int port)
{
    if (sock_ == -1 || !ctx_)
        throw GenericError("WolfSSL_tls_client::connect: Object was not initialized.");
    if (ssl_) {
        wolfSSL_free(ssl_);
        ssl_ = nullptr;
    }
    ssl_ = wolfSSL_new(ctx_);
    if (!ssl_) {
        qm_log(LOG_ERR, "tls_client_init: wolfSSL_new() failed.");
        free_context();
        return 0;
    }
    if (wolfSSL_set_fd(ssl_, sock_) != SSL_SUCCESS)
        throw GenericError("WolfSSL_tls_client::connect: Bad argument for wolfSSL_set_fd().");

    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    // An address text that is not a dotted quad would otherwise leave 0.0.0.0, this very host.
    if (inet_aton(address.c_str(), &addr.sin_addr) == 0) {
        qm_log(LOG_ERR, "%s", strerror(EINVAL));
        return 0;
    }
    if (::connect(sock_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 && errno != EISCONN) {
        qm_log(LOG_ERR, "%s", strerror(errno));
        return 0;
    }
    state_ = TCP_CONNECTED;
    return 1;
}

int WolfSSL_tls_client::do_handshake()
{
    if (state_ != TCP_CONNECTED)
        throw GenericError("WolfSSL_tls_client::do_handshake: The connection is not established.");
    int retries = 0;
    while (wolfSSL_connect(ssl_) != SSL_SUCCESS) {
        // A server that accepts TCP but never finishes the handshake must not hold the daemon.
        if (!wolfSSL_want_read(ssl_) || retries >= handshake_retries_) {
            qm_log(LOG_DEBUG, "An error occured during TLS handshake (%s)", error_text().c_str());
            return 0;
        }
        ++retries;
        msleep(1000);
    }
    state_ = TLS_ESTABLISHED;
    return 1;
}

int WolfSSL_tls_client::send(const std::string& text)
{
    if (state_ != TLS_ESTABLISHED)
        throw GenericError("WolfSSL_tls_client::send: Can not send a message - TLS connection is not established.");
    const char* data = text.data();
    std::size_t left = text.size();
    int retries = 0;
    while (left > 0) {
        int n = wolfSSL_write(ssl_, data, static_cast<int>(left));
        if (n > 0) {
            data += n;
            left -= static_cast<std::size_t>(n);
            retries = 0;
            continue;
        }
        // Each retry waits out the send timeout; a server that never reads is given up.
        if (!wolfSSL_want_write(ssl_) || ++retries > MAX_WRITE_RETRIES) {
            qm_log(LOG_ERR, "Failed to write in the socket.");
            return 0;
        }
    }
    return 1;
}

int WolfSSL_tls_client::receive(std::string& out, int count)
{
    if (state_ != TLS_ESTABLISHED)
        throw GenericError("WolfSSL_tls_client::send: Cannot read messages - TLS connection is not established.");
    out.clear();
    msg_assembler msg;
    int idle = 0;
    for (;;) {
        int n = wolfSSL_read(ssl_, msg.space(), static_cast<int>(msg.room()));
        if (n > 0) {
            idle = 0;
            msg_assembler::status status = msg.commit(static_cast<std::size_t>(n));
            if (status == msg_assembler::COMPLETE) {
                out = msg.take();
                return 1;
            }
            if (status == msg_assembler::TOO_LARGE) {
                qm_log(LOG_ERR, "Receiving message stopped: the message exceeds %zu bytes.", QM_MAX_MSG_SIZE);
                return 0;
            }
        } else {
            if (!wolfSSL_want_read(ssl_)) {
                qm_log(LOG_ERR, "Receiving message failed: %s", error_text().c_str());
                return 0;
            }
            msleep(500);
            ++idle;
        }
        if (idle >= 2 * count) {
            qm_log(LOG_DEBUG, "Recv failed: Ended by timeout [%s]", msg.text().c_str());
            return 0;
        }
    }
}
