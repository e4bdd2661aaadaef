#pragma once

#include <cstdint>
#include <cstring>

// Little-endian values in byte buffers: the order of every file, stream,
// register and sample format this library reads or writes. The buffers
// need no alignment (a word inside a packed record, a sample at an odd
// offset): memcpy is the one access that is defined there, and compilers
// turn it into a single load or store wherever the CPU allows.

namespace Quorvex {

namespace byte_order_detail {

template <typename T>
inline T fromLittleEndian(T v)
{
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    if constexpr (sizeof(T) == 2)
        return __builtin_bswap16(v);
    else if constexpr (sizeof(T) == 4)
        return __builtin_bswap32(v);
    else
        return __builtin_bswap64(v);
#else
    return v;
#endif
}

template <typename T>
inline T load(const uint8_t* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return fromLittleEndian(v);
}

template <typename T>
inline void store(uint8_t* p, T v)
{
    v = fromLittleEndian(v); // the swap is its own inverse
    std::memcpy(p, &v, sizeof v);
}

} // namespace byte_order_detail

inline uint16_t loadLe16(const uint8_t* p) { return byte_order_detail::load<uint16_t>(p); }
inline uint32_t loadLe32(const uint8_t* p) { return byte_order_detail::load<uint32_t>(p); }
inline uint64_t loadLe64(const uint8_t* p) { return byte_order_detail::load<uint64_t>(p); }

inline void storeLe16(uint8_t* p, uint16_t v) { byte_order_detail::store(p, v); }
inline void storeLe32(uint8_t* p, uint32_t v) { byte_order_detail::store(p, v); }
inline void storeLe64(uint8_t* p, uint64_t v) { byte_order_detail::store(p, v); }

} // namespace Quorvex
