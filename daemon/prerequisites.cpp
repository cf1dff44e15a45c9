#include "daemon/prerequisites.h"

#include "common/error.h"
#include "common/log.h"
#include "common/str_util.h"
#include "common/system.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

const char* const MIN_OPENSSL_VERSION = "1.0.2";
const char* const MIN_OPENVPN_VERSION = "2.3.18";

namespace
{
const char* const OPENSSL_VERSION_CMD = "/usr/bin/openssl version | awk -F ' ' '{print $2}'";
const char* const OPENVPN_VERSION_CMD = "/usr/sbin/openvpnd --version | head -1 | awk -F ' ' '{print $2}'";

// The leading decimal number of a version piece, as the standard string-to-int conversion
// reads it (leading blanks skipped, the rest ignored). False without digits or on overflow.
bool piece_number(const std::string& piece, int& number)
{
    const char* text = piece.c_str();
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (end == text || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return false;
    number = static_cast<int>(value);
    return true;
}

std::string installed_version(const char* command)
{
    std::string output;
    run_shell_capture(command, &output);
    return output;
}
} // namespace

int version_compare(const std::string& installed, const std::string& minimum)
{
    std::vector<std::string> a = split_by_char(installed, '.');
    std::vector<std::string> b = split_by_char(minimum, '.');
    if (a.size() != b.size())
        throw GenericError("Versions (" + installed + ") and (" + minimum + ") have a different format.");
    for (size_t i = 0; i < a.size(); ++i) {
        int x = 0;
        int y = 0;
        if (!piece_number(a[i], x) || !piece_number(b[i], y)) {
            if (i + 1 == a.size()) {
                int order = strcmp(a[i].c_str(), b[i].c_str());
                return order < 0 ? -1 : (order > 0 ? 1 : 0);
            }
            throw GenericError("Unexpected characters encountered in version string.");
        }
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

int check_prerequisite_versions()
{
    std::string openssl = installed_version(OPENSSL_VERSION_CMD);
    std::string openvpn = installed_version(OPENVPN_VERSION_CMD);
    qm_log(LOG_DEBUG, "Versions: [OpenSSL %s], [OpenVPN %s].", openssl.c_str(), openvpn.c_str());
    try {
        if (version_compare(openssl, MIN_OPENSSL_VERSION) < 0) {
            qm_log(LOG_CRIT, "Too low version of OpenSSL (%s < %s)", openssl.c_str(), MIN_OPENSSL_VERSION);
            return 0;
        }
        if (version_compare(openvpn, MIN_OPENVPN_VERSION) < 0) {
            qm_log(LOG_CRIT, "Too low version of OpenVPN (%s < %s)", openvpn.c_str(), MIN_OPENVPN_VERSION);
            return 0;
        }
    } catch (const std::exception& e) {
        qm_log(LOG_CRIT, "Could not determine a version of some application (%s).", e.what());
    }
    return 1;
}
