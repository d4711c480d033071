#ifndef ONDIRA_FUZZ_FUZZINPUT_H
#define ONDIRA_FUZZ_FUZZINPUT_H

// What every fuzz target shares: the entry points libFuzzer calls, a reader
// that turns the input into choices, and how a broken invariant is reported.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace ondira_fuzz {

/// Reads choices off the input, front to back; an exhausted input reads as
/// zeros, so that every input is a complete run.
class FuzzInput
{
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}

    bool empty() const { return position >= size; }
    std::size_t remaining() const { return size - position; }

    std::uint8_t byte() { return empty() ? 0 : data[position++]; }
    std::uint16_t word()
    {
        const std::uint16_t high = byte();
        return static_cast<std::uint16_t>(high << 8 | byte());
    }
    /// A number in [0, count).
    unsigned pick(unsigned count) { return count == 0 ? 0 : byte() % count; }
    /// The bytes up to the next zero byte (or the end), without it.
    std::string text()
    {
        std::string result;
        while (!empty()) {
            const char c = static_cast<char>(data[position++]);
            if (c == '\0')
                break;
            result += c;
        }
        return result;
    }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t position = 0;
};

/// A broken invariant: says which and where, then aborts, which libFuzzer
/// and the replay report as a crash with this input.
[[noreturn]] inline void broken(const char* target, const std::string& what)
{
    std::fprintf(stderr, "%s: invariant broken: %s\n", target, what.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace ondira_fuzz

#endif
