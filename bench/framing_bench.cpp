// The cost of framing a large message (a file to store arriving in network-sized pieces)
// against one pass of the brace test over the same bytes.
#include "transport/tcp.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

constexpr std::size_t PIECE = 1400;

// A file-store request of about `size` bytes: one long payload text, balanced at the very end.
const std::string& big_message(std::size_t size)
{
    static std::string text;
    if (text.size() != size) {
        const std::string head = R"({"H":{"V":113},"B":[{"T":23,"DT":{"23-1":"quillmesh.um.v4.tgz","23-2":")";
        const std::string tail = R"("}}]})";
        text = head;
        const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        while (text.size() < size - tail.size())
            text += alphabet[text.size() % 64];
        text += tail;
    }
    return text;
}

void BM_brace_test_one_pass(benchmark::State& state)
{
    const std::string& msg = big_message(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(is_msg_complete(msg.data(), msg.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * msg.size()));
}

// The reader's completeness logic fed from memory in 1,400-byte pieces: buffer growth, copying
// and the brace counts kept across pieces, without system calls.
void BM_framing_pieces_from_memory(benchmark::State& state)
{
    const std::string& msg = big_message(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        msg_assembler assembler;
        std::size_t fed = 0;
        msg_assembler::status status = msg_assembler::INCOMPLETE;
        while (status == msg_assembler::INCOMPLETE) {
            std::size_t n = std::min({ PIECE, assembler.room(), msg.size() - fed });
            std::memcpy(assembler.space(), msg.data() + fed, n);
            fed += n;
            status = assembler.commit(n);
        }
        if (status != msg_assembler::COMPLETE || fed != msg.size())
            state.SkipWithError("message not framed");
        benchmark::DoNotOptimize(assembler.received());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * msg.size()));
}

// What a rescan of the whole buffer after every piece costs, for comparison (kept small: it
// grows with the square of the size).
void BM_framing_rescan_every_piece(benchmark::State& state)
{
    const std::string& msg = big_message(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::string buffer(QM_RECV_BUFFER_SIZE, '\0');
        std::size_t t = 0;
        bool complete = false;
        while (!complete) {
            std::size_t n = std::min({ PIECE, buffer.size() - t - 1, msg.size() - t });
            std::memcpy(&buffer[t], msg.data() + t, n);
            t += n;
            if (t == buffer.size() - 1)
                buffer.resize(buffer.size() * 2, '\0');
            complete = is_msg_complete(buffer.data(), buffer.size());
        }
        benchmark::DoNotOptimize(t);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * msg.size()));
}

// The same message through a socket pair, written in 1,400-byte pieces and read by the
// daemon's reader.
void BM_framing_socketpair(benchmark::State& state)
{
    const std::string& msg = big_message(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
            state.SkipWithError("socketpair");
            break;
        }
        std::thread writer([&] {
            for (std::size_t at = 0; at < msg.size(); at += PIECE) {
                std::size_t n = std::min(PIECE, msg.size() - at);
                if (send(fds[1], msg.data() + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
                    break;
            }
        });
        std::string out;
        if (!tcp_read_msg(fds[0], out) || out.size() != msg.size())
            state.SkipWithError("message not read");
        writer.join();
        close(fds[0]);
        close(fds[1]);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * msg.size()));
}

constexpr int64_t MIB = 1 << 20;

} // namespace

BENCHMARK(BM_brace_test_one_pass)->Arg(16 * MIB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_framing_pieces_from_memory)->Arg(16 * MIB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_framing_socketpair)->Arg(16 * MIB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_framing_rescan_every_piece)->Arg(MIB / 2)->Arg(MIB)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
