// Feeds arbitrary answers to the DS answer reader. Whatever it accepts goes into the settings
// files and command lines, so an accepted CS address must be a plain dotted quad.
#include "common/log.h"
#include "common/validate.h"
#include "dialogue/discovery.h"

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qm_set_log_sink([](int, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string answer(reinterpret_cast<const char*>(data), size);
    ds_answer read;
    try {
        if (read_ds_answer(answer, read) && !is_dotted_quad(read.cs_ip))
            abort();
    } catch (const std::exception&) {
        // A refused answer; the discovery logs it and tries again.
    }
    return 0;
}
