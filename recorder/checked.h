// Arithmetic that raises instead of wrapping, as the recorder's sizes and
// counters require.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <utility>

class OverflowError : public std::overflow_error
{
public:
    OverflowError() : std::overflow_error("溢出") {}
};

template<typename T>
T checkedNarrow(std::int64_t value)
{
    if (!std::in_range<T>(value))
        throw OverflowError();
    return static_cast<T>(value);
}

// Operands are at most 32 bits wide, so the 64-bit result is exact.
template<typename T>
T checkedAdd(std::int64_t a, std::int64_t b)
{
    return checkedNarrow<T>(a + b);
}

template<typename T>
T checkedMul(std::int64_t a, std::int64_t b)
{
    return checkedNarrow<T>(a * b);
}
