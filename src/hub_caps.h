#pragma once

// The hub never uses CAP_NET_ADMIN itself: only the ifconfig that the CPU
// node's Ethernet order runs needs it. Called once at start, before any
// thread exists; 0 when the hub holds it no longer, -1 (said on stderr) when
// that could not be done.
int hub_drop_net_admin();
