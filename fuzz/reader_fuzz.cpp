// Arbitrary text where a DS or CS answer, or a control request, would stand: parsed and read
// with the reader toolkit the way the dialogues and the control dispatch read it.
#include "common/error.h"
#include "common/log.h"
#include "protocol/message_reader.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace
{

// Reads one segment the way the dialogues do, with every getter on the payload.
void read_segment(const cJSON* segment)
{
    try {
        get_segment_err_code(segment);
        format_segment_error(segment);
    } catch (const GenericError&) {
    }
    try {
        assert_no_error(segment);
    } catch (const GenericError&) {
    }
    try {
        int type = JSON_get_int(segment, "T");
        const cJSON* payload = JSON_get_object(segment, "DT");
        for (int n = 1; n <= 5; ++n) {
            std::string key = std::to_string(type) + "-" + std::to_string(n);
            JSON_has_object(payload, key);
            try {
                std::string text = JSON_get_string(payload, key);
                (void)text;
            } catch (const GenericError&) {
            }
            try {
                JSON_get_int(payload, key);
            } catch (const GenericError&) {
            }
        }
    } catch (const GenericError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qm_set_log_sink([](int, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{

    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        json_ptr root = parse_json_msg(text);
        JSON_to_string(root.get());
        try {
            check_msg_version(root.get(), "");
            require_msg_version(root.get(), 113, "");
        } catch (const GenericError&) {
        }
        read_segment(get_first_segment(root.get()));
        int count = get_segment_count(root.get());
        const cJSON* body = JSON_get_object(root.get(), "B");
        for (int i = 0; i <= count; ++i) {
            try {
                read_segment(JSON_get_nth_object(i, body));
            } catch (const GenericError&) {
            }
        }
    } catch (const GenericError&) {
    }
    return 0;
}
