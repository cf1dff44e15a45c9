#include "dialogue/identity.h"

#include "common/error.h"
#include "common/router_status.h"

namespace
{
const char* const NOT_AVAILABLE = "N/A";

bool available(const std::string& value)
{
    return !value.empty() && value != NOT_AVAILABLE;
}

std::string lan_mac_address()
{
    return router_status_value("lan", "MAC Address");
}
} // namespace

std::string device_serial_number()
{
    std::string serial = router_serial_number();
    if (available(serial))
        return serial;
    // A router without a serial number is known by its LAN MAC address.
    serial = lan_mac_address();
    if (available(serial))
        return serial;
    throw GenericError("Reading serial number failed.");
}

std::string device_udid()
{
    std::string serial = device_serial_number();
    std::string mac = lan_mac_address();
    if (!available(mac))
        throw GenericError("Failed to obtain UDID (cannot read MAC address).");
    std::string imei = router_imei(ROUTER_MODULE_FIRST);
    if (!available(imei))
        imei = "0";
    return calculate_udid(serial, mac, imei);
}

std::string calculate_udid(const std::string& serial, const std::string& mac, const std::string& imei)
{
    if (serial.empty() || mac.empty() || imei.empty() || (mac.size() != 17 && mac.size() != 12))
        throw GenericError("Invalid parameters for UDID calculation ['" + serial + "','" + mac + "','" + imei + "'].");
    std::string plain_mac;
    for (char c : mac) {
        if (c != ':')
            plain_mac += c;
    }
    return serial + plain_mac + imei;
}
