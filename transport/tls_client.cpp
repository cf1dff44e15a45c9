#include "transport/tls_client.h"

#include "common/error.h"
#include "common/log.h"
#include "common/system.h"
#include "transport/tcp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>
#include <wolfssl/wolfcrypt/asn_public.h>
#include <wolfssl/wolfcrypt/ecc.h>
#include <wolfssl/wolfcrypt/rsa.h>

namespace
{

std::string pem_file_text(const std::string& path)
{
    std::string pem;
    if (FILE* f = fopen(path.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            pem.append(buf, n);
        fclose(f);
    }
    return pem;
}

// The DER encoding of the (first) certificate in a PEM file; empty when there is none.
std::vector<unsigned char> certificate_der(const std::string& cert_file)
{
    std::string pem = pem_file_text(cert_file);
    std::vector<unsigned char> der(pem.size());
    int size = wc_CertPemToDer(reinterpret_cast<const unsigned char*>(pem.data()), static_cast<int>(pem.size()),
        der.data(), static_cast<int>(der.size()), CERT_TYPE);
    der.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    return der;
}

// The public key (SubjectPublicKeyInfo, DER) that belongs to the private key in a PEM file,
// computed from the private part. Empty when the key is neither EC nor RSA or unreadable.
std::vector<unsigned char> public_key_of_private_key(const std::string& key_file)
{
    std::string pem = pem_file_text(key_file);
    std::vector<unsigned char> der(pem.size() + 1);
    int der_size = wc_KeyPemToDer(reinterpret_cast<const unsigned char*>(pem.data()), static_cast<int>(pem.size()),
        der.data(), static_cast<int>(der.size()), nullptr);
    std::vector<unsigned char> pub(4096);
    int pub_size = -1;
    if (der_size > 0) {
        ecc_key ec;
        word32 at = 0;
        if (wc_ecc_init(&ec) == 0) {
            // The key file may carry a public part of its own; it is computed afresh.
            if (wc_EccPrivateKeyDecode(der.data(), &at, &ec, static_cast<word32>(der_size)) == 0
                && wc_ecc_make_pub(&ec, nullptr) == 0)
                pub_size = wc_EccPublicKeyToDer(&ec, pub.data(), static_cast<word32>(pub.size()), 1);
            wc_ecc_free(&ec);
        }
        RsaKey rsa;
        at = 0;
        if (pub_size <= 0 && wc_InitRsaKey(&rsa, nullptr) == 0) {
            if (wc_RsaPrivateKeyDecode(der.data(), &at, &rsa, static_cast<word32>(der_size)) == 0)
                pub_size = wc_RsaKeyToPublicDer(&rsa, pub.data(), static_cast<word32>(pub.size()));
            wc_FreeRsaKey(&rsa);
        }
    }
    pub.resize(pub_size > 0 ? static_cast<std::size_t>(pub_size) : 0);
    return pub;
}

// The library's own test compares an EC key with itself and passes any EC key, so the
// public key of the certificate is compared with the one computed from the private key.
// Keys of other kinds are left to the library's test.
bool key_belongs_to_certificate(const std::string& key_file, const std::string& cert_file)
{
    std::vector<unsigned char> from_key = public_key_of_private_key(key_file);
    if (from_key.empty())
        return true;
    WOLFSSL_X509* cert = wolfSSL_X509_load_certificate_file(cert_file.c_str(), SSL_FILETYPE_PEM);
    if (!cert)
        return false;
    std::vector<unsigned char> from_cert(4096);
    int size = static_cast<int>(from_cert.size());
    bool same = wolfSSL_X509_get_pubkey_buffer(cert, from_cert.data(), &size) == SSL_SUCCESS
        && static_cast<std::size_t>(size) == from_key.size()
        && std::memcmp(from_cert.data(), from_key.data(), from_key.size()) == 0;
    wolfSSL_X509_free(cert);
    return same;
}

// The library's own sender lets a write to a server that has gone raise SIGPIPE, which would
// end the daemon; this one reports the closed connection instead.
int send_without_sigpipe(WOLFSSL*, char* data, int size, void* context)
{
    int fd = *static_cast<const int*>(context);
    ssize_t n = ::send(fd, data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    if (n >= 0)
        return static_cast<int>(n);
    switch (errno) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return WOLFSSL_CBIO_ERR_WANT_WRITE;
    case ECONNRESET:
        return WOLFSSL_CBIO_ERR_CONN_RST;
    case EINTR:
        return WOLFSSL_CBIO_ERR_ISR;
    case EPIPE:
        return WOLFSSL_CBIO_ERR_CONN_CLOSE;
    default:
        return WOLFSSL_CBIO_ERR_GENERAL;
    }
}

// Reads what the library asks for. While a handshake runs, no read waits past the handshake's
// deadline: the library itself goes on reading after a receive timeout within one call, so a
// server that accepts and then stays silent would otherwise hold the daemon for minutes.
int receive_until_deadline(WOLFSSL*, char* data, int size, void* context)
{
    const auto* io = static_cast<const WolfSSL_tls_client::io_context*>(context);
    if (io->deadline_set) {
        // Rounded up: a poll that returns just short of the deadline would have the handshake
        // try (and pause) once more.
        const auto left
            = std::chrono::ceil<std::chrono::milliseconds>(io->deadline - std::chrono::steady_clock::now()).count();
        struct pollfd pfd = { io->fd, POLLIN, 0 };
        int ready = left > 0 ? ::poll(&pfd, 1, static_cast<int>(left)) : 0;
        if (ready == 0)
            return WOLFSSL_CBIO_ERR_WANT_READ;
        if (ready < 0)
            return errno == EINTR ? WOLFSSL_CBIO_ERR_ISR : WOLFSSL_CBIO_ERR_GENERAL;
    }
    ssize_t n = ::recv(io->fd, data, static_cast<std::size_t>(size), 0);
    if (n > 0)
        return static_cast<int>(n);
    if (n == 0)
        return WOLFSSL_CBIO_ERR_CONN_CLOSE;
    switch (errno) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return WOLFSSL_CBIO_ERR_WANT_READ;
    case ECONNRESET:
        return WOLFSSL_CBIO_ERR_CONN_RST;
    case EINTR:
        return WOLFSSL_CBIO_ERR_ISR;
    case ECONNABORTED:
        return WOLFSSL_CBIO_ERR_CONN_CLOSE;
    default:
        return WOLFSSL_CBIO_ERR_GENERAL;
    }
}

} // namespace

WolfSSL_tls_client::~WolfSSL_tls_client()
{
    // A caller that left on an unexpected path still releases everything exactly once.
    if (ssl_ || ctx_ || sock_ != -1)
        close();
}

std::string WolfSSL_tls_client::error_text() const
{
    int code = wolfSSL_get_error(ssl_, 0);
    char text[80] = { 0 };
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
    pinned_der_.clear();
    wolfSSL_Cleanup();
    // The library keeps a cache of precomputed EC points that grows with every exchange and
    // is not released by the clean-up above; one exchange at a time needs none of it kept.
    wc_ecc_fp_free();
    // Hand what the exchange used back to the system: the daemon spends its life listening.
    malloc_trim(0);
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
    if (wolfSSL_CTX_use_certificate_file(ctx_, cred.cert_file.c_str(), SSL_FILETYPE_PEM) != SSL_SUCCESS
        || wolfSSL_CTX_use_PrivateKey_file(ctx_, cred.key_file.c_str(), SSL_FILETYPE_PEM) != SSL_SUCCESS) {
        qm_log(LOG_ERR, "tls_client_init: failed (%s)", error_text().c_str());
        free_context();
        return 0;
    }
    if (wolfSSL_CTX_check_private_key(ctx_) != SSL_SUCCESS
        || !key_belongs_to_certificate(cred.key_file, cred.cert_file)) {
        qm_log(LOG_ERR, "tls_client_init: Private key does not match the public certificate.");
        free_context();
        return 0;
    }
    pinned_der_ = certificate_der(trusted_peer_cert);
    if (pinned_der_.empty() || wolfSSL_CTX_trust_peer_cert(ctx_, trusted_peer_cert.c_str(), SSL_FILETYPE_PEM) != 1) {
        qm_log(LOG_ERR, "tls_client_init: Failed to load a trusted peer certificate.");
        free_context();
        return 0;
    }
    // The library's compatibility layer leaves the server unverified unless asked; without
    // this any certificate would pass. The library's match of a trusted peer is not exact
    // (see peer_is_pinned), so do_handshake compares the whole certificate as well.
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
    wolfSSL_SSLSetIOSend(ssl_, send_without_sigpipe);
    wolfSSL_SetIOWriteCtx(ssl_, &sock_);
    io_ = io_context { sock_, false, {} };
    wolfSSL_SSLSetIORecv(ssl_, receive_until_deadline);
    wolfSSL_SetIOReadCtx(ssl_, &io_);

    struct sockaddr_in addr {
    };
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    // An address text that is not a dotted quad would otherwise leave 0.0.0.0, this very host.
    if (inet_aton(address.c_str(), &addr.sin_addr) == 0) {
        qm_log(LOG_ERR, "%s", strerror(EINVAL));
        return 0;
    }
    // The request follows the handshake's last flight at once: with Nagle's algorithm the kernel
    // would hold it until the server acknowledged that flight, a round trip more per exchange.
    int one = 1;
    setsockopt(sock_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(handshake_seconds_);
    io_.deadline = deadline;
    io_.deadline_set = true;
    struct deadline_end {
        io_context& io;
        ~deadline_end() { io.deadline_set = false; }
    } end { io_ };
    while (wolfSSL_connect(ssl_) != SSL_SUCCESS) {
        // A server that accepts TCP but never finishes the handshake must not hold the daemon.
        if (!wolfSSL_want_read(ssl_) || retries >= handshake_retries_ || std::chrono::steady_clock::now() >= deadline) {
            qm_log(LOG_DEBUG, "An error occured during TLS handshake (%s)", error_text().c_str());
            return 0;
        }
        ++retries;
        // The pause between tries ends at the deadline as well.
        const auto left
            = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        msleep(static_cast<uint32_t>(std::max<decltype(left)>(0, std::min<decltype(left)>(1000, left))));
    }
    if (!peer_is_pinned()) {
        qm_log(LOG_DEBUG, "An error occured during TLS handshake (%s)", "server certificate is not the pinned one");
        return 0;
    }
    state_ = TLS_ESTABLISHED;
    return 1;
}

bool WolfSSL_tls_client::peer_is_pinned() const
{
    // The library takes a certificate for the trusted one when its subject (or key identifier)
    // and its signature bytes match, without checking that signature: a copy of the pinned
    // certificate with another public key passes, and the handshake then proves that key.
    // Only the whole encoding, key included, identifies the pinned server.
    std::unique_ptr<WOLFSSL_X509, decltype(&wolfSSL_X509_free)> peer(
        wolfSSL_get_peer_certificate(ssl_), wolfSSL_X509_free);
    if (!peer)
        return false;
    int size = 0;
    const unsigned char* der = wolfSSL_X509_get_der(peer.get(), &size);
    return der && size > 0 && static_cast<std::size_t>(size) == pinned_der_.size()
        && std::memcmp(der, pinned_der_.data(), pinned_der_.size()) == 0;
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
