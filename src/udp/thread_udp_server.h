// The one-byte UDP diagnostic responder. Start-up does not start it.
#pragma once

void *udp_server_thread(void *arg);
