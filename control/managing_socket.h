// The managing socket on the tunnel address: its creation, its fence in the packet filter and
// the acceptance of one connection. What is done with a message is control/dispatch.h.
#pragma once

#include <cstdint>

// A TCP listener bound to the tunnel interface's address and MOD_QUILLMESH_CONTROL_CHANNEL_PORT,
// close-on-exec. -1 after a log line when the tunnel has no address or the socket fails.
int create_managing_socket();

// Fences the managing socket's port in the packet filter (fence_control_port) for the CS at
// `cs_address` (network byte order), with the tunnel device, its address and the port of now.
bool fence_managing_socket(uint32_t cs_address);

// Accepts one connection; the descriptor is close-on-exec. -1 when accept or fcntl fails.
int accept_control_connection(int listen_fd);
