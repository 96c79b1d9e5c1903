// The TCP ports that listen in the calling process's network namespace, read
// from the kernel's socket tables: what other processes of the namespace can
// connect to.
#pragma once

#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

inline std::set<uint16_t> listeningPorts()
{
    std::set<uint16_t> ports;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A") ports.insert(static_cast<uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16)));
        }
    }
    return ports;
}
