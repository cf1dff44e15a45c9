// The device's identity towards the DS and the CS: its serial number and its UDID, derived
// afresh at every use from what the router's status tool reports.
#pragma once

#include <string>

// The router's serial number, or its LAN MAC address when the router reports none.
// Throws GenericError "Reading serial number failed." when neither is available.
std::string device_serial_number();

// serial number + LAN MAC address without ':' + IMEI of the first module ("0" without one).
// Throws GenericError when the serial number or the MAC address cannot be read.
std::string device_udid();

// serial + MAC with every ':' removed + IMEI. Throws GenericError
// "Invalid parameters for UDID calculation ['<serial>','<MAC>','<IMEI>']." when any of the
// three is empty or the MAC address is neither 17 nor 12 characters long.
std::string calculate_udid(const std::string& serial, const std::string& mac, const std::string& imei);
