#include "common/str_util.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <random>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

std::string vformat_text(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0)
        return std::string();
    std::string text(static_cast<size_t>(n), '\0');
    vsnprintf(&text[0], text.size() + 1, format, args);
    return text;
}

std::string format_text(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = vformat_text(format, args);
    va_end(args);
    return text;
}

std::vector<std::string> split_string(std::string text, const std::string& delimiter)
{
    std::vector<std::string> pieces;
    if (delimiter.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    size_t start = 0;
    for (;;) {
        size_t at = text.find(delimiter, start);
        if (at == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + delimiter.size();
    }
}

std::vector<std::string> split_by_char(const std::string& text, char delimiter)
{
    return split_string(text, std::string(1, delimiter));
}

namespace
{
std::string without_whitespace(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (!isspace(static_cast<unsigned char>(c)))
            out.push_back(c);
    }
    return out;
}
} // namespace

bool split_key_value(const std::string& line, char separator, std::string& key, std::string& value, bool strip)
{
    size_t at = line.find(separator);
    if (at == std::string::npos) {
        key = line;
        value = line;
    } else {
        key = line.substr(0, at);
        value = line.substr(at + 1);
    }
    if (strip) {
        key = without_whitespace(key);
        value = without_whitespace(value);
    }
    return true;
}

std::string random_string(size_t length, const std::string& alphabet)
{
    std::random_device device("default");
    std::mt19937 generator(device());
    std::uniform_int_distribution<size_t> position(0, alphabet.size() - 1);
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i)
        out.push_back(alphabet[position(generator)]);
    return out;
}

uint32_t ip_to_u32(const char* text)
{
    if (!text)
        return 0;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4)
        return 0;
    if (a > 255 || b > 255 || c > 255 || d > 255)
        return 0;
    return (a << 24) | (b << 16) | (c << 8) | d;
}

bool u32_to_ip(uint32_t value, char* buffer)
{
    if (buffer)
        snprintf(buffer, 16, "%u.%u.%u.%u", value >> 24, (value >> 16) & 0xff, (value >> 8) & 0xff, value & 0xff);
    return true;
}

uint32_t netmask_to_u32(const char* text)
{
    uint32_t m = ip_to_u32(text);
    if (m == 0)
        return 0;
    return ((0U - m) & ~m) == 0 ? m : 0;
}

bool iface_name_to_ip(const char* name, char* buffer)
{
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        fprintf(stderr, "iface_name_to_ip: getifaddrs: %s\n", strerror(errno));
        return false;
    }
    bool found = false;
    for (struct ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET || strcmp(it->ifa_name, name) != 0)
            continue;
        auto* in = reinterpret_cast<struct sockaddr_in*>(it->ifa_addr);
        inet_ntop(AF_INET, &in->sin_addr, buffer, 16);
        found = true;
        break;
    }
    freeifaddrs(list);
    return found;
}

int iface_addr_mask(const char* name, uint32_t* address, uint32_t* netmask)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    struct ifreq request;
    memset(&request, 0, sizeof request);
    snprintf(request.ifr_name, IFNAMSIZ, "%.15s", name);
    request.ifr_addr.sa_family = AF_INET;
    int result = 0;
    if (ioctl(fd, SIOCGIFADDR, &request) != 0) {
        result = errno;
    } else {
        *address = reinterpret_cast<struct sockaddr_in*>(&request.ifr_addr)->sin_addr.s_addr;
        if (ioctl(fd, SIOCGIFNETMASK, &request) != 0)
            result = errno;
        else
            *netmask = reinterpret_cast<struct sockaddr_in*>(&request.ifr_netmask)->sin_addr.s_addr;
    }
    if (close(fd) != 0 && result == 0)
        result = errno;
    return result;
}

int resolve_host(const char* name, std::string* output)
{
    if (!output)
        return 2;
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* results = nullptr;
    int rc = getaddrinfo(name, "domain", &hints, &results);
    if (rc != 0) {
        printf("ERROR 01 (%d) for %s: %s\n", rc, name, gai_strerror(rc));
        return 1;
    }
    for (struct addrinfo* it = results; it; it = it->ai_next) {
        if (it->ai_family != AF_INET)
            continue;
        auto* in = reinterpret_cast<struct sockaddr_in*>(it->ai_addr);
        if (in->sin_addr.s_addr == 0)
            continue;
        char text[16];
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        *output = text;
        break;
    }
    freeaddrinfo(results);
    return 0;
}
