/* qm-linkemu: the sandbox's stand-in for a cellular link between the router's WAN and the
 * servers, in user space (the build machines have no netem queueing discipline).
 *
 *   qm-linkemu [--ready FILE] [--stats FILE] [--seed N] LINK IF_A IF_B
 *   qm-linkemu --no-offload IF...
 *
 * Bridges every Ethernet frame between IF_A and IF_B (packet sockets, promiscuous) through a
 * timed queue per direction: a frame waits for the link to be free at the rate limit, then for
 * the one-way delay plus a jitter drawn uniformly from [-jitter, +jitter], and is lost with the
 * given probability. Frames leave in the order they came (a cellular bearer does not reorder),
 * so a late frame holds back the ones behind it. Only IP frames are delayed or lost: a cellular
 * link resolves no link-layer addresses, so ARP passes at once.
 *
 * LINK is a preset name and/or key=value settings, comma-separated; later ones win:
 *   lan  no delay, loss or rate limit        lte  35 ms, 5 ms jitter, 0.5% loss, 20 Mbit/s
 *   3g   150 ms, 30 ms, 2%, 2 Mbit/s         bad  300 ms, 100 ms, 5%, 256 kbit/s
 *   delay=MS jitter=MS loss=PERCENT rate=KBIT (0: none) limit=PACKETS (queued per direction)
 * e.g. "3g,loss=0" or "delay=40,jitter=10,loss=10".
 *
 * --ready FILE is written (the settings in force, one key=value a line) once both ends are open.
 * --stats FILE gets the counters of both directions on SIGUSR1 and on exit (SIGTERM, SIGINT).
 * It runs with real-time priority where it may.
 * --no-offload turns checksum offload, scatter-gather, TSO and GSO off on the interfaces that
 * send into the emulator: a veth would otherwise hand it 64 KiB frames with checksums left to
 * the hardware, which a packet socket cannot pass on as they are. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define FRAME_MAX 2048

struct settings {
    double delay_ms, jitter_ms, loss_pct, rate_kbit;
    unsigned limit;
};

static const struct preset {
    const char* name;
    struct settings s;
} presets[] = {
    { "lan", { 0, 0, 0, 0, 1000 } },
    { "lte", { 35, 5, 0.5, 20000, 1000 } },
    { "3g", { 150, 30, 2, 2000, 1000 } },
    { "bad", { 300, 100, 5, 256, 1000 } },
};

struct frame {
    uint64_t due; /* CLOCK_MONOTONIC, ns */
    uint32_t len;
    unsigned char data[FRAME_MAX];
};

struct direction {
    const char* from_name;
    const char* to_name;
    int from, to;
    struct frame* ring;
    unsigned head, count;
    uint64_t free_at; /* when the link has sent the frames before */
    uint64_t last_due; /* keeps the order */
    unsigned long passed, lost, queue_drops, oversize, send_errors, bytes;
};

static volatile sig_atomic_t stop_requested, stats_requested;
static uint64_t rng_state;

static void on_stop(int sig)
{
    (void)sig;
    stop_requested = 1;
}

static void on_stats(int sig)
{
    (void)sig;
    stats_requested = 1;
}

static uint64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

/* xorshift64*: a uniform double in [0, 1). */
static double uniform(void)
{
    rng_state ^= rng_state >> 12;
    rng_state ^= rng_state << 25;
    rng_state ^= rng_state >> 27;
    return (double)((rng_state * 2685821657736338717ull) >> 11) / 9007199254740992.0;
}

static int parse_number(const char* text, double* out)
{
    char* end;
    errno = 0;
    double v = strtod(text, &end);
    if (errno || end == text || *end != '\0' || v < 0)
        return 0;
    *out = v;
    return 1;
}

static int parse_link(const char* link, struct settings* s)
{
    *s = presets[0].s;
    char* copy = strdup(link);
    char* save = NULL;
    int ok = copy != NULL;
    for (char* item = ok ? strtok_r(copy, ",", &save) : NULL; item && ok; item = strtok_r(NULL, ",", &save)) {
        char* eq = strchr(item, '=');
        if (!eq) {
            ok = 0;
            for (size_t i = 0; i < sizeof presets / sizeof presets[0]; i++) {
                if (strcmp(item, presets[i].name) == 0) {
                    *s = presets[i].s;
                    ok = 1;
                }
            }
            if (!ok)
                fprintf(stderr, "qm-linkemu: unknown preset '%s' (lan, lte, 3g, bad)\n", item);
            continue;
        }
        *eq = '\0';
        double v = 0;
        ok = parse_number(eq + 1, &v);
        if (ok && strcmp(item, "delay") == 0)
            s->delay_ms = v;
        else if (ok && strcmp(item, "jitter") == 0)
            s->jitter_ms = v;
        else if (ok && strcmp(item, "loss") == 0 && v <= 100)
            s->loss_pct = v;
        else if (ok && strcmp(item, "rate") == 0)
            s->rate_kbit = v;
        else if (ok && strcmp(item, "limit") == 0 && v >= 1 && v <= 100000)
            s->limit = (unsigned)v;
        else
            ok = 0;
        if (!ok)
            fprintf(stderr, "qm-linkemu: bad setting '%s=%s'\n", item, eq + 1);
    }
    free(copy);
    return ok;
}

static int no_offload(const char* ifname)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("qm-linkemu: socket");
        return 0;
    }
    static const uint32_t commands[] = { ETHTOOL_STXCSUM, ETHTOOL_SSG, ETHTOOL_STSO, ETHTOOL_SGSO };
    int ok = 1;
    for (size_t i = 0; i < sizeof commands / sizeof commands[0]; i++) {
        struct ethtool_value value = { .cmd = commands[i], .data = 0 };
        struct ifreq request;
        memset(&request, 0, sizeof request);
        snprintf(request.ifr_name, sizeof request.ifr_name, "%s", ifname);
        request.ifr_data = (char*)&value;
        if (ioctl(fd, SIOCETHTOOL, &request) != 0 && errno != EOPNOTSUPP) {
            fprintf(stderr, "qm-linkemu: %s: offload setting %u: %s\n", ifname, commands[i], strerror(errno));
            ok = 0;
        }
    }
    close(fd);
    return ok;
}

static int open_end(const char* ifname)
{
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd < 0) {
        perror("qm-linkemu: packet socket");
        return -1;
    }
    int index = (int)if_nametoindex(ifname);
    struct sockaddr_ll address = { .sll_family = AF_PACKET, .sll_protocol = htons(ETH_P_ALL), .sll_ifindex = index };
    struct packet_mreq promisc = { .mr_ifindex = index, .mr_type = PACKET_MR_PROMISC };
    int one = 1;
    if (index == 0 || bind(fd, (struct sockaddr*)&address, sizeof address) != 0
        || setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &promisc, sizeof promisc) != 0
        || setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one) != 0) {
        fprintf(stderr, "qm-linkemu: %s: %s\n", ifname, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

static int is_ip(const unsigned char* frame, size_t len)
{
    if (len < ETH_HLEN)
        return 0;
    unsigned type = (unsigned)frame[12] << 8 | frame[13];
    return type == ETH_P_IP || type == ETH_P_IPV6;
}

static void take_frame(
    struct direction* d, const struct settings* s, const unsigned char* data, size_t len, uint64_t now)
{
    if (!is_ip(data, len)) {
        if (send(d->to, data, len, 0) < 0)
            d->send_errors++;
        return;
    }
    if (s->loss_pct > 0 && uniform() * 100 < s->loss_pct) {
        d->lost++;
        return;
    }
    if (d->count == s->limit) {
        d->queue_drops++;
        return;
    }
    uint64_t start = d->free_at > now ? d->free_at : now;
    if (s->rate_kbit > 0)
        start += (uint64_t)((double)len * 8 * 1e6 / s->rate_kbit);
    d->free_at = start;
    double delay = s->delay_ms + (s->jitter_ms > 0 ? (uniform() * 2 - 1) * s->jitter_ms : 0);
    uint64_t due = start + (uint64_t)(delay > 0 ? delay * 1e6 : 0);
    if (due < d->last_due)
        due = d->last_due;
    d->last_due = due;
    struct frame* f = &d->ring[(d->head + d->count) % s->limit];
    f->due = due;
    f->len = (uint32_t)len;
    memcpy(f->data, data, len);
    d->count++;
}

static void receive(struct direction* d, const struct settings* s)
{
    static unsigned char buffer[FRAME_MAX];
    for (;;) {
        struct sockaddr_ll from;
        socklen_t from_len = sizeof from;
        ssize_t n
            = recvfrom(d->from, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC, (struct sockaddr*)&from, &from_len);
        if (n < 0)
            return;
        if (from.sll_pkttype == PACKET_OUTGOING)
            continue;
        if ((size_t)n > sizeof buffer) {
            d->oversize++;
            continue;
        }
        take_frame(d, s, buffer, (size_t)n, now_ns());
    }
}

static void deliver(struct direction* d, const struct settings* s, uint64_t now)
{
    while (d->count > 0 && d->ring[d->head].due <= now) {
        struct frame* f = &d->ring[d->head];
        if (send(d->to, f->data, f->len, 0) < 0) {
            d->send_errors++;
        } else {
            d->passed++;
            d->bytes += f->len;
        }
        d->head = (d->head + 1) % s->limit;
        d->count--;
    }
}

static void write_file(const char* path, const char* text)
{
    if (!path)
        return;
    char tmp[4096];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    FILE* f = fopen(tmp, "w");
    if (!f)
        return;
    fputs(text, f);
    if (fclose(f) == 0)
        rename(tmp, path);
}

static void write_stats(const char* path, const struct direction* dirs)
{
    char text[1024];
    size_t used = 0;
    for (int i = 0; i < 2 && used < sizeof text; i++) {
        const struct direction* d = &dirs[i];
        int n = snprintf(text + used, sizeof text - used,
            "%s>%s passed %lu lost %lu queue_drops %lu oversize %lu send_errors %lu bytes %lu\n", d->from_name,
            d->to_name, d->passed, d->lost, d->queue_drops, d->oversize, d->send_errors, d->bytes);
        if (n > 0)
            used += (size_t)n;
    }
    write_file(path, text);
}

static void usage(void)
{
    fputs("usage: qm-linkemu [--ready FILE] [--stats FILE] [--seed N] LINK IF_A IF_B\n"
          "       qm-linkemu --no-offload IF...\n",
        stderr);
}

int main(int argc, char** argv)
{
    const char *ready = NULL, *stats = NULL;
    uint64_t seed = now_ns() ^ ((uint64_t)getpid() << 32);
    int i = 1;
    if (argc > 1 && strcmp(argv[1], "--no-offload") == 0) {
        int ok = argc > 2;
        for (i = 2; i < argc; i++)
            ok &= no_offload(argv[i]);
        return ok ? 0 : 1;
    }
    for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (strcmp(argv[i], "--ready") == 0)
            ready = argv[i + 1];
        else if (strcmp(argv[i], "--stats") == 0)
            stats = argv[i + 1];
        else if (strcmp(argv[i], "--seed") == 0)
            seed = strtoull(argv[i + 1], NULL, 0);
        else
            break;
    }
    struct settings s;
    if (argc - i != 3 || !parse_link(argv[i], &s)) {
        usage();
        return 2;
    }
    rng_state = seed ? seed : 1;
    /* A link's timing must not depend on the build jobs beside it: the kernel's own emulator
     * runs in softirq context, ours as a real-time process (it sleeps between frames). */
    struct sched_param priority = { .sched_priority = 10 };
    if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0)
        fprintf(stderr, "qm-linkemu: no real-time priority (%s); timing follows the machine's load\n", strerror(errno));

    struct direction dirs[2];
    memset(dirs, 0, sizeof dirs);
    int a = open_end(argv[i + 1]), b = open_end(argv[i + 2]);
    if (a < 0 || b < 0)
        return 1;
    dirs[0].from_name = dirs[1].to_name = argv[i + 1];
    dirs[0].to_name = dirs[1].from_name = argv[i + 2];
    dirs[0].from = dirs[1].to = a;
    dirs[0].to = dirs[1].from = b;
    for (int k = 0; k < 2; k++) {
        dirs[k].ring = calloc(s.limit, sizeof(struct frame));
        if (!dirs[k].ring) {
            perror("qm-linkemu");
            return 1;
        }
    }

    sigset_t blocked, during_wait;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGUSR1);
    sigprocmask(SIG_BLOCK, &blocked, &during_wait);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    sa.sa_handler = on_stats;
    sigaction(SIGUSR1, &sa, NULL);

    char text[512];
    snprintf(text, sizeof text, "delay=%g\njitter=%g\nloss=%g\nrate=%g\nlimit=%u\nseed=%llu\n", s.delay_ms, s.jitter_ms,
        s.loss_pct, s.rate_kbit, s.limit, (unsigned long long)seed);
    write_file(ready, text);

    struct pollfd fds[2] = { { .fd = a, .events = POLLIN }, { .fd = b, .events = POLLIN } };
    while (!stop_requested) {
        uint64_t now = now_ns();
        deliver(&dirs[0], &s, now);
        deliver(&dirs[1], &s, now);
        uint64_t next = UINT64_MAX;
        for (int k = 0; k < 2; k++) {
            if (dirs[k].count > 0 && dirs[k].ring[dirs[k].head].due < next)
                next = dirs[k].ring[dirs[k].head].due;
        }
        struct timespec wait, *timeout = NULL;
        if (next != UINT64_MAX) {
            uint64_t left = next > now ? next - now : 0;
            wait.tv_sec = (time_t)(left / 1000000000u);
            wait.tv_nsec = (long)(left % 1000000000u);
            timeout = &wait;
        }
        int n = ppoll(fds, 2, timeout, &during_wait);
        if (stats_requested) {
            stats_requested = 0;
            write_stats(stats, dirs);
        }
        if (n < 0 && errno != EINTR) {
            perror("qm-linkemu: ppoll");
            break;
        }
        if (n > 0) {
            if (fds[0].revents & POLLIN)
                receive(&dirs[0], &s);
            if (fds[1].revents & POLLIN)
                receive(&dirs[1], &s);
        }
    }
    write_stats(stats, dirs);
    return 0;
}
