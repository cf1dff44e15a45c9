// Feeds arbitrary answers to the CS answer reader (registration and tunnel credentials).
#include "common/error.h"
#include "common/log.h"
#include "dialogue/cs_exchange.h"

#include <cerrno>
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
    ovpn_credentials credentials;
    try {
        int type = read_secure_cs_msg(answer, credentials);
        if (type != 0 && type != 7 && type != 22)
            abort();
        // Only a type 7 answer carries credentials.
        if (type != 7 && !(credentials.ca.empty() && credentials.cert.empty() && credentials.key.empty()))
            abort();
    } catch (const std::exception&) {
    }
    return 0;
}
