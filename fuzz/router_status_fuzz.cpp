// Feeds arbitrary output of the router's status tool to the status reader (what the tool prints
// goes into the device identity that is sent to the DS and the CS).
#include "common/router_status.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string key = provider.ConsumeRandomLengthString(40);
    const std::string output = provider.ConsumeRemainingBytesAsString();
    for (const char* k : { key.c_str(), "Serial Number", "IMEI", "" }) {
        const char* value = router_status_value_in(output.c_str(), k);
        if (value == nullptr || strlen(value) > 127 || strchr(value, '\n'))
            abort();
    }
    return 0;
}
