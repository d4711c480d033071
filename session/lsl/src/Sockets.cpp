#include "Sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ondira {
namespace lsl {

void Fd::reset()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

std::vector<Interface> ipv4Interfaces()
{
    std::vector<Interface> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return result;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET
            || (entry->ifa_flags & IFF_UP) == 0)
            continue;
        Interface item;
        item.name = entry->ifa_name;
        item.address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
        if ((entry->ifa_flags & IFF_BROADCAST) != 0 && entry->ifa_broadaddr != nullptr)
            item.broadcast = reinterpret_cast<const sockaddr_in*>(entry->ifa_broadaddr)->sin_addr;
        item.index = if_nametoindex(entry->ifa_name);
        item.multicast = (entry->ifa_flags & IFF_MULTICAST) != 0;
        result.push_back(item);
    }
    freeifaddrs(list);
    return result;
}

std::string addressText(in_addr address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string lastError()
{
    return std::strerror(errno);
}

Fd makeWakeup()
{
    return Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
}

void signal(const Fd& wakeup)
{
    const std::uint64_t one = 1;
    // A full counter (never reached) already wakes the reader.
    [[maybe_unused]] const ssize_t written = ::write(wakeup.get(), &one, sizeof one);
}

void drain(const Fd& wakeup)
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(wakeup.get(), &count, sizeof count);
}

bool bindInRange(int fd, in_addr address, std::uint16_t base, int range, std::uint16_t& port)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    for (int offset = 0; offset < range && base + offset <= 65535; ++offset) {
        local.sin_port = htons(static_cast<std::uint16_t>(base + offset));
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) {
            port = static_cast<std::uint16_t>(base + offset);
            return true;
        }
        if (errno != EADDRINUSE)
            return false;
    }
    local.sin_port = 0;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return false;
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return false;
    port = ntohs(local.sin_port);
    return true;
}

bool setNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace lsl
} // namespace ondira
