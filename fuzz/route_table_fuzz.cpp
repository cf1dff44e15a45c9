// Feeds arbitrary routing tables in the format of /proc/net/route to the lookup of the
// interface that routes an address (the inventory's routing interface).
#include "common/log.h"
#include "control/inventory.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <unistd.h>

namespace
{
std::string path;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qm_set_log_sink([](int, const std::string&) {});
    char templ[] = "/dev/shm/qm_fuzz_route.XXXXXX";
    int fd = mkstemp(templ);
    if (fd < 0)
        abort();
    close(fd);
    path = templ;
    atexit([] { unlink(path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const uint32_t address = provider.ConsumeIntegral<uint32_t>();
    const std::string table = provider.ConsumeRemainingBytesAsString();
    FILE* f = fopen(path.c_str(), "w");
    if (!f)
        abort();
    fwrite(table.data(), 1, table.size(), f);
    fclose(f);
    iface_set set = 0;
    routing_iface_in(path.c_str(), address, &set);
    // Only the routing interfaces the inventory knows can be added.
    if (set & ~(IFACE_ETH0 | IFACE_ETH1 | IFACE_ETH2 | IFACE_WLAN0 | IFACE_BR0 | IFACE_USB0 | IFACE_USB1))
        abort();
    return 0;
}
