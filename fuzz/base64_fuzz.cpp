// Feeds arbitrary text to the base64 decoder of the file store, and checks it against an
// encoding round trip: what is encoded decodes to the same bytes.
#include "control/file_store.h"
#include "control/managing_socket.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace
{
std::string encode(const std::string& bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t g = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6)
            out.push_back(alphabet[(g >> s) & 63]);
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t g = uint8_t(bytes[i]) << 16;
        if (rest == 2)
            g |= uint8_t(bytes[i + 1]) << 8;
        out.push_back(alphabet[(g >> 18) & 63]);
        out.push_back(alphabet[(g >> 12) & 63]);
        out.push_back(rest == 2 ? alphabet[(g >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string decoded = base64_decode(text);
    // Never more than three bytes for four characters.
    if (decoded.size() > (text.size() + 3) / 4 * 3)
        abort();
    if (base64_decode(encode(text)) != text)
        abort();
    return 0;
}
