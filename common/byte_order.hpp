// Little-endian encoding of on-disk integers, independent of the host's byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvo {

template <typename T>
void put_le(std::uint8_t* out, T value)
{
    for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <typename T>
T get_le(const std::uint8_t* in)
{
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>(value | (static_cast<T>(in[i]) << (8 * i)));
    return value;
}

}  // namespace tarvo
