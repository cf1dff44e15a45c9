// The daemon's one TLS client: TLS 1.3 only, mutual authentication, the server pinned to one
// trusted certificate. Used for one request and one answer per connection:
//   wolfSSL_Init(); init; create_socket(10); connect; do_handshake; send; receive(out, 10); close.
#pragma once

#include <chrono>
#include <string>
#include <vector>
#include <wolfssl/options.h>
#include <wolfssl/ssl.h>

// The device's credentials, both PEM files.
struct tls_cred_files {
    std::string key_file;
    std::string cert_file;
};

class WolfSSL_tls_client
{
public:
    enum conn_state { NOT_CONNECTED = 0, TCP_CONNECTED = 1, TLS_ESTABLISHED = 2 };

    // Retries of wolfSSL_connect while the library wants to read, one second apart, before
    // the handshake is given up. The handshake is also given up once HANDSHAKE_TIME_LIMIT
    // seconds have passed; no read of the handshake waits past that moment.
    static constexpr int MAX_HANDSHAKE_RETRIES = 30;
    static constexpr int HANDSHAKE_TIME_LIMIT = 60;
    // Retries of wolfSSL_write while the library wants to write (each waits for the send
    // timeout) before the message is given up.
    static constexpr int MAX_WRITE_RETRIES = 30;

    WolfSSL_tls_client() = default;
    ~WolfSSL_tls_client();
    WolfSSL_tls_client(const WolfSSL_tls_client&) = delete;
    WolfSSL_tls_client& operator=(const WolfSSL_tls_client&) = delete;

    // Loads the device certificate and key and the one trusted server certificate. 1 = ready.
    int init(const tls_cred_files& cred, const std::string& trusted_peer_cert);
    // Closes a previous socket, then opens a TCP socket with send and receive timeouts.
    bool create_socket(int timeout);
    // TCP connection to an IPv4 address text. 1 = connected. Throws GenericError on misuse.
    int connect(const std::string& address, int port);
    // 1 = TLS established with the server that presented exactly the trusted certificate.
    // Throws GenericError on misuse.
    int do_handshake();
    // 1 = the whole text was sent. Throws GenericError on misuse.
    int send(const std::string& text);
    // 1 = a complete message (braces balanced) is in `out`. Gives up after 2 x `count` empty
    // reads half a second apart. Throws GenericError on misuse.
    int receive(std::string& out, int count);
    // Frees the SSL object and the context, calls wolfSSL_Cleanup and closes the socket.
    void close();

    int state() const { return state_; }

    // What the read callback works with: the socket and, while a handshake runs, its deadline.
    struct io_context {
        int fd;
        bool deadline_set;
        std::chrono::steady_clock::time_point deadline;
    };
    // Tests shorten the bounds of the handshake.
    void set_handshake_limits(int retries, int seconds)
    {
        handshake_retries_ = retries;
        handshake_seconds_ = seconds;
    }

private:
    WOLFSSL* ssl_ = nullptr;
    WOLFSSL_CTX* ctx_ = nullptr;
    int sock_ = -1;
    io_context io_ { -1, false, {} };
    int state_ = NOT_CONNECTED;
    int handshake_retries_ = MAX_HANDSHAKE_RETRIES;
    int handshake_seconds_ = HANDSHAKE_TIME_LIMIT;
    std::vector<unsigned char> pinned_der_; // the trusted server certificate, DER

    // True when the server presented exactly the trusted certificate.
    bool peer_is_pinned() const;

    std::string error_text() const;
    void free_context();
};
