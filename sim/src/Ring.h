#ifndef ONDIRA_SIM_RING_H
#define ONDIRA_SIM_RING_H

// A first-in first-out ring that grows (doubling) only when it is full and
// never shrinks: once it has reached the size a stream needs, pushing and
// popping allocate nothing.

#include <algorithm>
#include <cstddef>
#include <vector>

namespace ondira_sim {

template <typename T>
class Ring
{
public:
    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }
    void clear()
    {
        head = 0;
        count = 0;
    }

    T& front() { return slots[head]; }
    T& operator[](std::size_t i) { return slots[(head + i) & (slots.size() - 1)]; }
    const T& operator[](std::size_t i) const { return slots[(head + i) & (slots.size() - 1)]; }

    void push_back(const T& value)
    {
        if (count == slots.size())
            grow();
        slots[(head + count) & (slots.size() - 1)] = value;
        ++count;
    }

    void pop_front() { popFront(1); }

    void popFront(std::size_t n)
    {
        n = std::min(n, count);
        head = (head + n) & (slots.empty() ? 0 : slots.size() - 1);
        count -= n;
    }

    void append(const T* values, std::size_t n)
    {
        while (count + n > slots.size())
            grow();
        const std::size_t mask = slots.size() - 1;
        const std::size_t tail = (head + count) & mask;
        const std::size_t first = std::min(n, slots.size() - tail);
        std::copy(values, values + first, slots.begin() + static_cast<std::ptrdiff_t>(tail));
        std::copy(values + first, values + n, slots.begin());
        count += n;
    }

    /// Copies the first `n` elements to `out` and removes them.
    void take(T* out, std::size_t n)
    {
        n = std::min(n, count);
        if (n == 0)
            return;
        const std::size_t first = std::min(n, slots.size() - head);
        std::copy(slots.begin() + static_cast<std::ptrdiff_t>(head),
                  slots.begin() + static_cast<std::ptrdiff_t>(head + first), out);
        std::copy(slots.begin(), slots.begin() + static_cast<std::ptrdiff_t>(n - first), out + first);
        popFront(n);
    }

private:
    void grow()
    {
        std::vector<T> bigger(slots.empty() ? 64 : slots.size() * 2);
        for (std::size_t i = 0; i < count; ++i)
            bigger[i] = (*this)[i];
        slots.swap(bigger);
        head = 0;
    }

    std::vector<T> slots; // size is zero or a power of two
    std::size_t head = 0;
    std::size_t count = 0;
};

} // namespace ondira_sim

#endif
