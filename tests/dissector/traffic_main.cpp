// hub_dissector_traffic: the traffic side of the dissector stage.
//
//   hub_dissector_traffic --pick-port
//       prints a free TCP port below the ephemeral range, for the capture filter
//   hub_dissector_traffic --port PORT --capture FILE
//       runs the hub on PORT and talks to it while dumpcap writes FILE; returns
//       once FILE holds the whole conversation
//   hub_dissector_traffic --checksum-examples FILE
//       writes a pcap of hand-made records: the checksum examples and a
//       corrupted one (port 60000)
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "checksum_examples.h"
#include "hub_conversation.h"
#include "low_port.h"

namespace {

int usage() {
    std::cerr << "usage: hub_dissector_traffic --pick-port\n"
                 "       hub_dissector_traffic --port PORT --capture FILE\n"
                 "       hub_dissector_traffic --checksum-examples FILE\n";
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--pick-port" && argc == 2) {
        uint16_t port = hubdissector::pick_low_free_port();
        if (port == 0) {
            std::cerr << "hub_dissector_traffic: no free port below 32768\n";
            return 1;
        }
        std::printf("%u\n", static_cast<unsigned>(port));
        return 0;
    }
    if (mode == "--checksum-examples" && argc == 3) {
        if (hubdissector::write_checksum_examples(argv[2])) return 0;
        std::cerr << "hub_dissector_traffic: cannot write " << argv[2] << "\n";
        return 1;
    }
    if (mode == "--port" && argc == 5 && std::string(argv[3]) == "--capture") {
        long port = std::strtol(argv[2], nullptr, 10);
        if (port <= 0 || port > 65535) return usage();
        return hubdissector::run_conversation(static_cast<uint16_t>(port), argv[4]) ? 0 : 1;
    }
    return usage();
}
