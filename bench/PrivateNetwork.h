#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace vorn::bench {

// Moves this process into a network namespace of its own with its loopback up,
// so the fixed ports it and the programs it starts open (the station's 8080)
// are this run's own. False (and nothing changed) without the right to.
inline bool PrivateNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) return false;
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ::ioctl(s, SIOCSIFFLAGS, &request) == 0;
    ::close(s);
    return up;
}

}  // namespace vorn::bench
