// The number of descriptors this process holds open (Linux lists them in /proc/self/fd), for
// the leak checks of the socket and session suites.
#pragma once

#include <dirent.h>

inline int OpenDescriptors() {
    DIR* list = opendir("/proc/self/fd");
    int count = -3;  // not counted: ".", ".." and the descriptor that reads the list
    while (list != nullptr && readdir(list) != nullptr)
        ++count;
    if (list != nullptr) closedir(list);
    return count;
}
