// Arbitrary payload texts through the request builder and back through the reader: whatever
// the builder accepts must read back as exactly the texts given, and whatever it refuses must
// leave the buffer empty.
#include "common/error.h"
#include "common/log.h"
#include "protocol/message_builder.h"
#include "protocol/message_reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

void check(bool condition)
{
    if (!condition)
        abort();
}

std::string payload_text(const cJSON* root, const std::string& key)
{
    return JSON_get_string(JSON_get_object(get_first_segment(root), "DT"), key);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qm_set_log_sink([](int, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // First byte: the type; the rest: two texts split at the first zero byte.
    const int types[] = { 4, 8, 21, 3, 5, 7 };
    const int type = types[data[0] % 6];
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string a = rest.substr(0, rest.find('\0'));
    std::string b = a.size() < rest.size() ? rest.substr(a.size() + 1) : std::string();
    b = b.substr(0, b.find('\0'));

    static char buffer[QM_MSG_BUFFER_SIZE];
    std::memset(buffer, 'x', sizeof buffer);
    bool built = create_json_msg(type, buffer, a.c_str(), b.c_str(), "c");
    if (!built) {
        check(buffer[0] == '\0');
        return 0;
    }
    check(std::strlen(buffer) < QM_MSG_BUFFER_SIZE);
    try {
        json_ptr root = parse_json_msg(buffer);
        check(check_msg_version(root.get(), ""));
        check(JSON_get_int(get_first_segment(root.get()), "T") == type);
        switch (type) {
        case 4:
            if (!a.empty())
                check(payload_text(root.get(), "4-1") == a);
            if (!b.empty())
                check(payload_text(root.get(), "4-2") == b);
            break;
        case 8:
            check(payload_text(root.get(), "8-1") == a);
            break;
        case 21:
            check(payload_text(root.get(), "21-1") == a && payload_text(root.get(), "21-2") == b);
            break;
        case 3:
            check(payload_text(root.get(), "3-1") == a);
            break;
        case 5:
            check(payload_text(root.get(), "5-1") == a && payload_text(root.get(), "5-2") == b);
            break;
        case 7:
            check(payload_text(root.get(), "7-1") == a && payload_text(root.get(), "7-3") == "c");
            break;
        }
    } catch (const GenericError&) {
        abort(); // a message that the builder made must always read back
    }
    return 0;
}
