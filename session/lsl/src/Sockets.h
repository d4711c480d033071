#ifndef ONDIRA_LSL_SOCKETS_H
#define ONDIRA_LSL_SOCKETS_H

// The few POSIX socket operations the outlet needs, with errors as text.

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ondira {
namespace lsl {

/// A file descriptor that closes itself.
class Fd
{
public:
    Fd() = default;
    explicit Fd(int fd)
        : fd(fd)
    {
    }
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept
        : fd(other.release())
    {
    }
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd = other.release();
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd; }
    explicit operator bool() const { return fd >= 0; }
    int release()
    {
        const int result = fd;
        fd = -1;
        return result;
    }
    void reset();

private:
    int fd = -1;
};

/// An IPv4 interface of this machine that is up.
struct Interface
{
    std::string name;
    in_addr address{};
    in_addr broadcast{}; ///< 0.0.0.0 when it has none
    unsigned index = 0;
    bool multicast = false;
};

std::vector<Interface> ipv4Interfaces();
std::string addressText(in_addr address);
/// strerror of errno, for messages.
std::string lastError();

/// An event counter that one thread signals and another polls.
Fd makeWakeup();
void signal(const Fd& wakeup);
void drain(const Fd& wakeup);

/// Binds `fd` to `address` at the first free port of [base, base + range), or
/// at a port the system picks when all are taken. False (errno set) when
/// none could be bound.
bool bindInRange(int fd, in_addr address, std::uint16_t base, int range, std::uint16_t& port);

bool setNonBlocking(int fd);

} // namespace lsl
} // namespace ondira

#endif
