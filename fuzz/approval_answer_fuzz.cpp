// Feeds arbitrary datagrams to the approval answer reader: UDP answers are taken from any
// sender, so the text is whatever reaches the port. The reader must give a result the resource
// manager knows, and a pause it can sleep without hanging the daemon.
#include "common/error.h"
#include "common/log.h"
#include "dialogue/initial_actions.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qm_set_log_sink([](int, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The datagram buffer holds at most 8999 bytes and is terminated after them.
    if (size > 8999)
        return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    unsigned sleep_time = 0;
    errno = 0;
    int result = process_udp_message(text.c_str(), &sleep_time);
    int reason = errno;
    if (result == 1)
        return 0;
    if (result != 0)
        abort();
    if (reason != QM_ERR_NOT_VALIDATED && reason != QM_ERR_APPROVAL_ERROR && reason != QM_ERR_VERSION_MISMATCH)
        abort();
    if (sleep_time > APPROVAL_PAUSE_MAX)
        abort();
    return 0;
}
