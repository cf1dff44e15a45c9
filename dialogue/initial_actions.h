// The approval side channel: one UDP datagram of type 8 with the device certificate to the CS,
// one datagram of type 9 back.
#pragma once

// Longest pause between approval queries that the CS can ask for, in seconds.
constexpr unsigned APPROVAL_PAUSE_MAX = 86400;

// Asks the CS whether this device is approved. 1 when it is. Otherwise 0 with errno:
//   QM_ERR_CS_NO_ANSWER (269)     no answer within 10 s
//   QM_ERR_NOT_VALIDATED (270)    not validated yet (sleep_time then holds the pause the CS asks
//                                 for, within 1..APPROVAL_PAUSE_MAX), wrong type, unreadable answer
//   QM_ERR_APPROVAL_ERROR (272)   the answer carries a non-zero error code
//   QM_ERR_VERSION_MISMATCH (275) the CS speaks another protocol version
//   a system value                the certificate, the socket or the datagram failed
// `sleep_time` must not be null.
int get_ovpn_detail_approval(unsigned int* sleep_time);

// Reads one approval answer (as received, from any sender); the result and errno as
// get_ovpn_detail_approval gives them. Touches no file and no socket.
int process_udp_message(const char* text, unsigned int* sleep_time);
