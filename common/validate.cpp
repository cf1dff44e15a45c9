#include "common/validate.h"

#include <cctype>
#include <cstdint>
#include <cstring>

namespace
{
bool is_name_char(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
}

// 1 or more ASCII letters and digits and characters of `extra`: nothing a shell reads as the end
// of a word, a quote, an expansion or another command.
bool is_made_of(const std::string& text, const char* extra)
{
    if (text.empty())
        return false;
    for (char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || (c != '\0' && strchr(extra, c) != nullptr);
        if (!ok)
            return false;
    }
    return true;
}

bool parse_dotted_quad(const std::string& text, uint32_t& value)
{
    value = 0;
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= text.size() || text[i] != '.')
                return false;
            ++i;
        }
        size_t digits = 0;
        unsigned octet = 0;
        // inet_aton and inet_addr read a leading zero as octal ("010" is 8): refused, so the
        // address checked is the address used.
        if (i + 1 < text.size() && text[i] == '0' && isdigit(static_cast<unsigned char>(text[i + 1])))
            return false;
        while (i < text.size() && isdigit(static_cast<unsigned char>(text[i])) && digits < 4) {
            octet = octet * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || digits > 3 || octet > 255)
            return false;
        value = (value << 8) | octet;
    }
    return i == text.size();
}
} // namespace

bool is_dotted_quad(const std::string& text)
{
    uint32_t value;
    return parse_dotted_quad(text, value);
}

bool is_contiguous_netmask(const std::string& text)
{
    uint32_t m;
    if (!parse_dotted_quad(text, m))
        return false;
    return ((0U - m) & ~m) == 0 || m == 0;
}

bool is_iface_name(const std::string& text)
{
    if (text.empty() || text.size() > 15)
        return false;
    for (char c : text) {
        if (!is_name_char(c))
            return false;
    }
    return true;
}

bool is_safe_file_name(const std::string& text)
{
    if (text.empty() || text.size() > 64 || text == "." || text == "..")
        return false;
    for (char c : text) {
        if (!is_name_char(c))
            return false;
    }
    return true;
}

bool is_alnum_token(const std::string& text, size_t max_length)
{
    if (text.empty() || text.size() > max_length)
        return false;
    for (char c : text) {
        if (!isalnum(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

bool is_network_prefix(const std::string& text)
{
    size_t slash = text.find('/');
    if (slash == std::string::npos || !is_dotted_quad(text.substr(0, slash)))
        return false;
    std::string bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 2 || bits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    return std::stoi(bits) <= 32;
}

bool is_safe_url(const std::string& text)
{
    return is_made_of(text, ".:/_-");
}

bool is_safe_path(const std::string& text)
{
    return is_made_of(text, "./_-+,:@");
}

bool is_module_name(const std::string& text)
{
    return text.size() <= 24 && is_made_of(text, "_");
}

bool is_shell_word(const std::string& text)
{
    return is_made_of(text, "._/-:+,=@%");
}
