// The kernel's IPv4 routing rows as Linux lists them in /proc/net/route.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace voxtrel {

struct KernelRoute {
    std::string device;
    uint32_t destination = 0;  // network byte order, as the kernel prints the raw value
    uint32_t gateway = 0;
    uint32_t mask = 0;
    unsigned flags = 0;  // RTF_UP, RTF_GATEWAY, ...
    uint32_t metric = 0;
};

// Appends the rows of a /proc/net/route text; false when the text is not such a table.
bool ParseKernelRoutes(const std::string& text, std::vector<KernelRoute>& routes);
bool ReadKernelRoutes(std::vector<KernelRoute>& routes);

}  // namespace voxtrel
