// Text and IPv4 helpers. IPv4 values are host-order 32-bit numbers, first octet most
// significant, except for iface_addr_mask, which hands out network byte order.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// printf into a string as long as the text needs: a command line is never cut short.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string vformat_text(const char* format, va_list args);

// Pieces between delimiters, in order; empty pieces are kept ("a,,b" gives a, "", b).
std::vector<std::string> split_string(std::string text, const std::string& delimiter);
std::vector<std::string> split_by_char(const std::string& text, char delimiter);

// key = text before the first separator, value = text after it (both the whole line when the
// separator does not occur). With `strip`, every whitespace character is removed from both.
bool split_key_value(const std::string& line, char separator, std::string& key, std::string& value, bool strip);

// N characters drawn uniformly from `alphabet`, from a freshly seeded MT19937.
std::string random_string(size_t length, const std::string& alphabet);

// Dotted quad to host-order value; 0 when the text is not a valid address.
uint32_t ip_to_u32(const char* text);
// Writes the dotted quad of a host-order value into a 16-byte buffer (when given).
bool u32_to_ip(uint32_t value, char* buffer);
// Host-order netmask; 0 when not an address or not contiguous.
uint32_t netmask_to_u32(const char* text);

// The first IPv4 address of the interface, in dotted form, into a 16-byte buffer.
bool iface_name_to_ip(const char* name, char* buffer);
// Address and netmask of the interface in network byte order; 0 or the system error number.
int iface_addr_mask(const char* name, uint32_t* address, uint32_t* netmask);

// Looks the host name up and writes its first IPv4 address in dotted form into `output`.
// 0 done (output unchanged when the name has no IPv4 address), 1 lookup failed, 2 no output.
int resolve_host(const char* name, std::string* output);

inline bool is_empty_text(const char* text)
{
    return !text || text[0] == '\0';
}
