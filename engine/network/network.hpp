// The engine's network layer: one UDP socket, one worker thread whose
// handlers run on one strand, the known servers and the requests in flight.
// The entries connect, authenticate, lookup, touch, report and revoke are
// declared by the entry table.
#pragma once

#include <string>

namespace quorvane::engine::network {

extern const std::wstring& facility;

enum class socket_family { dual_stack, ipv4_only };

// Starts the socket and the worker (replacing a running network). The
// family is dual-stack wherever the host has IPv6; ipv4_only is for tests.
unsigned initialize(socket_family family = socket_family::dual_stack);
// Stops the worker and drops the servers and the requests in flight.
// Refused with QVSE_E_FAILED on the worker thread itself.
unsigned shutdown();

// The server list as JSON text, and its restore, which appends to the list.
// Both run on the strand; they throw on the worker thread itself.
std::string save_servers();
void restore_servers(const std::string& text);

}  // namespace quorvane::engine::network
