// Reads the kernel's main routing table from /proc/net/route: a header line, then one row per
// route with hexadecimal addresses that are the raw network-order values.
#include "net/posix/kernel_routes.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace voxtrel {

bool ParseKernelRoutes(const std::string& text, std::vector<KernelRoute>& routes) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line.rfind("Iface", 0) != 0)
        return false;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        KernelRoute route;
        long long refCount = 0, use = 0;
        fields >> route.device >> std::hex >> route.destination >> route.gateway >> route.flags >>
            std::dec >> refCount >> use >> route.metric >> std::hex >> route.mask;
        if (fields.fail())
            continue;  // blank or cut line
        routes.push_back(std::move(route));
    }
    return true;
}

bool ReadKernelRoutes(std::vector<KernelRoute>& routes) {
    std::ifstream file("/proc/net/route");
    if (!file)
        return false;
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return ParseKernelRoutes(text, routes);
}

}  // namespace voxtrel
