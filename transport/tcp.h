// Plain IPv4 TCP plumbing: client and server sockets, reading one complete message from a
// connection and writing one whole.
//
// Messages carry no length prefix and no terminator: a message is complete at the first point
// where at least one '{' has been received and the counts of '{' and '}' are equal. Braces inside
// JSON strings count like any others; a zero byte ends the text.
#pragma once

#include <cstddef>
#include <string>

// Initial size of a receive buffer (all zero); it doubles whenever it fills.
constexpr std::size_t QM_RECV_BUFFER_SIZE = 9000;

// The longest message that is read, in bytes. A peer that sends more without balancing its
// braces has the read fail instead of taking all of the router's memory.
constexpr std::size_t QM_MAX_MSG_SIZE = 64u * 1024u * 1024u;

// The brace-balance test over `bytes`, stopping at the first zero byte or after `length`
// bytes. One pass.
bool is_msg_complete(const char* bytes, std::size_t length);

// The brace-balance test kept across reads: every byte is examined once. Gives at each point
// the same answer as is_msg_complete over all bytes fed so far.
class brace_balance
{
public:
    // Examines `length` more bytes; true when the message is complete.
    bool feed(const char* bytes, std::size_t length);
    bool complete() const { return complete_; }
    void reset() { *this = brace_balance(); }

private:
    std::size_t open_ = 0;
    std::size_t close_ = 0;
    bool stopped_ = false; // a zero byte was seen before the braces balanced
    bool complete_ = false;
};

// A growing receive buffer with the brace test: the reader receives straight into `space()`,
// then reports the count with `commit()`.
class msg_assembler
{
public:
    enum status { INCOMPLETE, COMPLETE, TOO_LARGE };

    // `max_size` bounds the message; only tests pass a smaller bound.
    explicit msg_assembler(std::size_t max_size = QM_MAX_MSG_SIZE);
    char* space() { return &buffer_[received_]; }
    // Room for the next receive; one byte always stays zero.
    std::size_t room() const { return buffer_.size() - received_ - 1; }
    // `count` bytes were received into space(). TOO_LARGE once `max_size` bytes arrived
    // without completing a message.
    status commit(std::size_t count);
    bool complete() const { return balance_.complete(); }
    std::size_t received() const { return received_; }
    std::size_t capacity() const { return buffer_.size(); }
    // The text received so far, up to the first zero byte.
    std::string text() const;
    // Moves the text out (up to the first zero byte) and leaves the assembler empty.
    std::string take();

private:
    std::string buffer_;
    std::size_t received_ = 0;
    std::size_t max_size_;
    brace_balance balance_;
};

// IPv4 stream socket with SO_REUSEADDR; when `timeout` (seconds) is not 0 also SO_RCVTIMEO and
// SO_SNDTIMEO. Returns the descriptor or -1 after a log line.
int tcp_create_cli_socket(int timeout);

// IPv4 stream socket bound to `address` (any address when empty) and `port`, listening with a
// backlog of 1. Returns the descriptor or -1 after a log line.
int tcp_create_srv_socket(int port, const std::string& address);

// Reads one complete message from the connection into `out`. False when the peer closed early,
// the receive timeout expired, the message grew past QM_MAX_MSG_SIZE or reading failed.
bool tcp_read_msg(int fd, std::string& out);

// Writes every byte of `text`; false after a log line when a write fails.
bool ovpn_write(int fd, const std::string& text);
