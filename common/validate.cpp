#include "common/validate.h"

#include <cctype>
#include <cstdint>

namespace
{
bool is_name_char(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
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
