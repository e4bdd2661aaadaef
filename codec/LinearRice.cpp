#include "codec/LinearRice.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "codec/PlaneCoding.h"
#include "common/ByteOrder.h"

namespace Quorvex {

namespace {

constexpr int kWeights = 5;
constexpr int kWeightShift = 6;
constexpr int kMaxWeight = 256;
constexpr unsigned kEscapeZeros = 24;
constexpr unsigned kBorderContext = 36;
constexpr unsigned kRunContext = 37;
constexpr unsigned kContexts = kRunContext + 1;
constexpr unsigned kMaxK = 15;
constexpr uint32_t kHalveAt = 64;

inline unsigned bitLength(uint32_t v)
{
    return v == 0 ? 0u : 32u - static_cast<unsigned>(__builtin_clz(v));
}

// 2 L plus the bit below the top one for v of bit length L + 1 (0 for
// v = 1), for 1 <= v < 2^24: the exponent and the first fraction bit of v
// as a float, which holds it exactly, and no branch on v's size.
inline unsigned halfOctave(uint32_t v)
{
    const float f = static_cast<float>(v);
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return (bits >> 22) - (127u << 1);
}

inline uint32_t absDiff(uint32_t x, uint32_t y) { return x > y ? x - y : y - x; }

// Rows of the plane around the pixel being coded: the current one (coded
// up to the pixel), the one above and the one above that (null where the
// image has none).
template <typename T>
struct Rows {
    const T* cur;
    const T* up;
    const T* up2;
};

inline uint32_t v32(uint16_t v) { return v; }
inline uint32_t v32(float v) { return static_cast<uint32_t>(v); }

// The prediction of pixel x and the context of its Rice parameter, from
// already coded values; the one definition both directions use. `flat`
// tells that the left, up-left, up and up-right neighbours are equal, where
// a run may start.
template <typename T>
inline __attribute__((always_inline)) uint32_t predict(const Rows<T>& r, uint32_t x, uint32_t y, uint32_t cols, const int32_t* w,
                        unsigned& context, bool& flat)
{
    if (y < 2 || x < 2 || x + 2 >= cols) {
        context = kBorderContext;
        flat = false;
        if (y == 0)
            return x == 0 ? 0u : v32(r.cur[x - 1]);
        if (x == 0)
            return v32(r.up[0]);
        return (v32(r.cur[x - 1]) + v32(r.up[x])) >> 1;
    }
    const auto a = static_cast<int32_t>(v32(r.cur[x - 1]));
    const auto b = static_cast<int32_t>(v32(r.up[x]));
    const auto c = static_cast<int32_t>(v32(r.up[x - 1]));
    const auto d = static_cast<int32_t>(v32(r.up[x + 1]));
    // |w| <= 256 and |n - a| < 2^16 keep the sum within +-2^27; the offset
    // makes the shift a floor division on every compiler.
    const int32_t s = w[0] * (b - a) + w[1] * (d - a) + w[2] * (static_cast<int32_t>(v32(r.cur[x - 2])) - a) +
                      w[3] * (static_cast<int32_t>(v32(r.up2[x])) - a) +
                      w[4] * (static_cast<int32_t>(v32(r.up[x - 2])) - a);
    constexpr int32_t kBias = int32_t{1} << 30;
    const int32_t p = a + (((s + (1 << (kWeightShift - 1)) + kBias) >> kWeightShift) - (kBias >> kWeightShift));
    const uint32_t g = absDiff(static_cast<uint32_t>(a), static_cast<uint32_t>(c)) +
                       absDiff(static_cast<uint32_t>(b), static_cast<uint32_t>(c)) +
                       absDiff(static_cast<uint32_t>(d), static_cast<uint32_t>(b));
    context = halfOctave(g + 1);
    flat = g == 0;
    return p < 0 ? 0u : p > 65535 ? 65535u : static_cast<uint32_t>(p);
}

// Predictions and contexts of pixels lo ... hi - 1 of a row from
// the third on, all inside the image (from the third column to the third
// last): predict() without its border cases, for the encoder, whose
// predictions run ahead of the coding.
// Results go to zs and cs from index lo - base on. Context 0 is that of
// flat neighbours alone (g = 0), and no border pixel has it: it tells
// where a run may start.
inline void predictInside(const Rows<const uint16_t>& r, uint32_t lo, uint32_t hi, uint32_t base, const int32_t* w,
                          uint16_t* __restrict zs, uint8_t* __restrict cs)
{
    const int32_t w0 = w[0], w1 = w[1], w2 = w[2], w3 = w[3], w4 = w[4];
    // Pointers at pixel lo and a count from 0: indices the vectoriser can
    // follow (32-bit ones might wrap, as far as it knows).
    const uint16_t* __restrict cur = r.cur + lo;
    const uint16_t* __restrict up = r.up + lo;
    const uint16_t* __restrict up2 = r.up2 + lo;
    uint16_t* __restrict z = zs + (lo - base);
    uint8_t* __restrict ctx = cs + (lo - base);
    const size_t n = hi - lo;
    constexpr int32_t kBias = int32_t{1} << 30;
    for (size_t i = 0; i < n; ++i) {
        const int32_t a = cur[i - 1], b = up[i], c = up[i - 1], d = up[i + 1];
        const int32_t s = w0 * (b - a) + w1 * (d - a) + w2 * (cur[i - 2] - a) + w3 * (up2[i] - a) +
                          w4 * (up[i - 2] - a);
        int32_t p = a + (((s + (1 << (kWeightShift - 1)) + kBias) >> kWeightShift) - (kBias >> kWeightShift));
        p = p < 0 ? 0 : p > 65535 ? 65535 : p;
        const int32_t ac = a - c, bc = b - c, db = d - b;
        const int32_t g = (ac < 0 ? -ac : ac) + (bc < 0 ? -bc : bc) + (db < 0 ? -db : db);
        const auto diff = static_cast<uint16_t>(cur[i] - p);
        z[i] = static_cast<uint16_t>(diff << 1 ^ (diff & 0x8000u ? 0xFFFFu : 0u));
        // halfOctave(g + 1), inline so that the loop stays one of plain
        // arithmetic: g + 1 < 2^18 is exact as a float.
        const float v = static_cast<float>(g + 1);
        int32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        ctx[i] = static_cast<uint8_t>((bits >> 22) - (127 << 1));
    }
}

struct Contexts {
    uint32_t sum[kContexts];
    uint32_t count[kContexts];

    Contexts()
    {
        for (unsigned i = 0; i < kContexts; ++i) {
            sum[i] = 16;
            count[i] = 1;
        }
    }

    // The least k with count * 2^k >= sum / 2, at most 15: a shift of the
    // count to the sum's bit length is either that k or one short of it
    // (and none when the sum's half is no larger than the count).
    unsigned k(unsigned c) const
    {
        const uint32_t target = sum[c] >> 1, n = count[c];
        const int shift = __builtin_clz(n) - __builtin_clz(target | 1u);
        unsigned k = shift > 0 ? static_cast<unsigned>(shift) : 0u;
        k += (n << k) < target;
        return k < kMaxK ? k : kMaxK;
    }

    void update(unsigned c, uint32_t z)
    {
        const uint32_t n = count[c] + 1;
        const unsigned halve = n == kHalveAt;
        sum[c] = (sum[c] + z) >> halve;
        count[c] = n >> halve;
    }
};

// Least-squares weights of the neighbours' differences to the left one,
// over every fourth pixel of every fourth row (plenty for five unknowns),
// rounded to 1/64 and bounded. A plane without texture gives a singular
// system: the small ridge makes its weights 0 instead.
void fitWeights(const uint16_t* plane, uint32_t cols, uint32_t rows, int32_t* w)
{
    double m[kWeights][kWeights] = {};
    double r[kWeights] = {};
    for (uint32_t y = 2; y < rows; y += 4) {
        const uint16_t* cur = plane + size_t{y} * cols;
        const uint16_t* up = cur - cols;
        const uint16_t* up2 = up - cols;
        for (uint32_t x = 2; x + 2 < cols; x += 4) {
            const double a = cur[x - 1];
            const double n[kWeights] = {up[x] - a, up[x + 1] - a, cur[x - 2] - a, up2[x] - a, up[x - 2] - a};
            const double t = cur[x] - a;
            for (int i = 0; i < kWeights; ++i) {
                r[i] += n[i] * t;
                for (int j = 0; j <= i; ++j)
                    m[i][j] += n[i] * n[j];
            }
        }
    }
    double trace = 0;
    for (int i = 0; i < kWeights; ++i) {
        for (int j = i + 1; j < kWeights; ++j)
            m[i][j] = m[j][i];
        trace += m[i][i];
    }
    for (int i = 0; i < kWeights; ++i)
        m[i][i] += 1e-6 * trace + 1.0;
    // Gaussian elimination with partial pivoting.
    for (int col = 0; col < kWeights; ++col) {
        int pivot = col;
        for (int i = col + 1; i < kWeights; ++i)
            if (std::fabs(m[i][col]) > std::fabs(m[pivot][col]))
                pivot = i;
        for (int j = 0; j < kWeights; ++j)
            std::swap(m[col][j], m[pivot][j]);
        std::swap(r[col], r[pivot]);
        for (int i = col + 1; i < kWeights; ++i) {
            const double f = m[i][col] / m[col][col];
            for (int j = col; j < kWeights; ++j)
                m[i][j] -= f * m[col][j];
            r[i] -= f * r[col];
        }
    }
    double sol[kWeights];
    for (int i = kWeights - 1; i >= 0; --i) {
        double v = r[i];
        for (int j = i + 1; j < kWeights; ++j)
            v -= m[i][j] * sol[j];
        sol[i] = v / m[i][i];
    }
    for (int i = 0; i < kWeights; ++i) {
        const double scaled = sol[i] * (1 << kWeightShift);
        w[i] = !std::isfinite(scaled)       ? 0
               : scaled > kMaxWeight        ? kMaxWeight
               : scaled < -kMaxWeight       ? -kMaxWeight
                                            : static_cast<int32_t>(std::lround(scaled));
    }
}

class BitWriter {
public:
    explicit BitWriter(uint8_t* out) : begin_(out), out_(out) {}

    // bits <= 56, and fewer than 8 bits are held between calls, so a code
    // goes in with one shift, one 8-byte store and no branch on its length
    // (which noise makes unpredictable); the output has room for the store
    // past the last whole byte.
    inline void put(uint64_t value, unsigned bits)
    {
        acc_ |= value << held_;
        held_ += bits;
        storeLe64(out_, acc_);
        const unsigned whole = held_ >> 3;
        out_ += whole;
        acc_ >>= 8 * whole; // at most 56: 63 bits are held at most
        held_ &= 7;
    }

    // Values escape in 16 bits, run lengths in 32: the q zero bits and the
    // one bit, then the k low bits, or 24 zero bits and the value.
    inline void rice(uint32_t z, unsigned k, unsigned escapeBits = 16)
    {
        const uint32_t q = z >> k;
        const uint64_t rest = z - (q << k);
        const bool escape = q >= kEscapeZeros;
        const uint64_t code = escape ? uint64_t{z} << kEscapeZeros : (rest << 1 | 1u) << q;
        put(code, escape ? kEscapeZeros + escapeBits : q + 1 + k);
    }

    size_t finish()
    {
        if (held_ > 0)
            *out_++ = static_cast<uint8_t>(acc_);
        return static_cast<size_t>(out_ - begin_);
    }

private:
    uint8_t* begin_;
    uint8_t* out_;
    uint64_t acc_ = 0;
    unsigned held_ = 0;
};

class BitReader {
public:
    BitReader(const uint8_t* in, size_t bytes) : in_(in), end_(in + bytes) {}

    // False when the stream ends inside the code.
    inline bool rice(unsigned k, uint32_t& z, unsigned escapeBits = 16)
    {
        refill();
        const uint32_t window =
            static_cast<uint32_t>(acc_) & ((held_ >= kEscapeZeros ? 1u << kEscapeZeros : 1u << held_) - 1);
        if (window == 0) {
            if (held_ < kEscapeZeros + escapeBits)
                return false;
            z = static_cast<uint32_t>(acc_ >> kEscapeZeros) & static_cast<uint32_t>((uint64_t{1} << escapeBits) - 1);
            drop(kEscapeZeros + escapeBits);
            return true;
        }
        const auto q = static_cast<unsigned>(__builtin_ctz(window));
        if (held_ < q + 1 + k)
            return false;
        drop(q + 1);
        z = q << k | (static_cast<uint32_t>(acc_) & ((1u << k) - 1));
        drop(k);
        return true;
    }

    // The stream ended with the last code: only zero padding to the byte.
    bool atEnd() const { return in_ == end_ && held_ < 8 && acc_ == 0; }

private:
    // At least 57 bits held after it unless the stream ends: every code is
    // at most 56. Eight bytes at a time while they are there.
    inline void refill()
    {
        if (end_ - in_ >= 8) {
            acc_ |= loadLe64(in_) << held_;
            const unsigned bytes = (63 - held_) >> 3;
            in_ += bytes;
            held_ += 8 * bytes;
            return;
        }
        while (held_ <= 56 && in_ != end_) {
            acc_ |= static_cast<uint64_t>(*in_++) << held_;
            held_ += 8;
        }
    }

    inline void drop(unsigned bits)
    {
        acc_ >>= bits;
        held_ -= bits;
    }

    const uint8_t* in_;
    const uint8_t* end_;
    uint64_t acc_ = 0;
    unsigned held_ = 0;
};

inline uint32_t zigzag(uint32_t value, uint32_t prediction)
{
    const auto d = static_cast<int16_t>(static_cast<uint16_t>(value - prediction));
    return static_cast<uint16_t>(static_cast<uint16_t>(d) << 1 ^ static_cast<uint16_t>(d >> 15));
}

inline uint32_t unzigzag(uint32_t z, uint32_t prediction)
{
    return static_cast<uint16_t>(prediction + ((z >> 1) ^ (0u - (z & 1u))));
}

template <typename T>
Rows<T> rowsAt(T* plane, uint32_t cols, uint32_t y)
{
    const T* cur = plane + size_t{y} * cols;
    return {cur, y >= 1 ? cur - cols : nullptr, y >= 2 ? cur - 2 * size_t{cols} : nullptr};
}

void writeHeader(uint32_t cols, uint32_t rows, const int32_t* w, uint8_t* out)
{
    storeLe32(out, cols);
    storeLe32(out + 4, rows);
    for (int i = 0; i < kWeights; ++i)
        storeLe16(out + 8 + 2 * i, static_cast<uint16_t>(static_cast<int16_t>(w[i])));
}

} // namespace

size_t encodeLinearRice(const uint16_t* plane, uint32_t cols, uint32_t rows, uint8_t* out)
{
    int32_t w[kWeights];
    fitWeights(plane, cols, rows, w);
    writeHeader(cols, rows, w, out);
    BitWriter bits(out + kLinearRiceHeaderBytes);
    Contexts contexts;
    auto code = [&](uint32_t z, unsigned c) {
        bits.rice(z, contexts.k(c));
        contexts.update(c, z);
    };
    // Predictions depend on the image alone, not on what was coded: they
    // are made a stretch of a row ahead, which leaves the serial chain of
    // the contexts' sums to itself.
    constexpr uint32_t kStretch = 128;
    uint16_t zs[kStretch];
    uint8_t cs[kStretch];
    for (uint32_t y = 0; y < rows; ++y) {
        const Rows<const uint16_t> r = rowsAt(plane, cols, y);
        auto border = [&](uint32_t from, uint32_t to, uint32_t x0) {
            for (uint32_t i = from; i < to; ++i) {
                unsigned c;
                bool flat;
                const uint32_t p = predict(r, i, y, cols, w, c, flat);
                zs[i - x0] = static_cast<uint16_t>(zigzag(r.cur[i], p));
                cs[i - x0] = static_cast<uint8_t>(c);
            }
        };
        uint32_t x = 0;
        while (x < cols) {
            const uint32_t x0 = x, x1 = cols - x0 > kStretch ? x0 + kStretch : cols;
            // The stretch's pixels inside the image, then those of the border.
            uint32_t lo = x1, hi = x1;
            if (y >= 2 && cols > 4) {
                lo = x0 > 2 ? x0 : 2;
                hi = x1 < cols - 2 ? x1 : cols - 2;
                if (lo >= hi)
                    lo = hi = x1;
                else
                    predictInside(r, lo, hi, x0, w, zs, cs);
            }
            border(x0, lo, x0);
            border(hi, x1, x0);
            while (x < x1) {
                // Pixels that start no run, up to the first that may: a
                // loop of known length, with pointers that step together.
                const uint8_t* c = cs + (x - x0);
                const uint16_t* z = zs + (x - x0);
                const uint8_t* const end = cs + (x1 - x0);
                const void* flat = std::memchr(c, 0, static_cast<size_t>(end - c));
                const uint8_t* const stop = flat ? static_cast<const uint8_t*>(flat) : end;
#pragma GCC unroll 4
                for (; c != stop; ++c, ++z)
                    code(*z, *c);
                x = x0 + static_cast<uint32_t>(c - cs);
                if (x == x1)
                    break;
                // A run of the left neighbour's value, to the row's end at
                // most; the pixel that ends it is coded as any other.
                const uint16_t value = r.cur[x - 1];
                uint32_t run = 0;
                while (x + run < cols && r.cur[x + run] == value)
                    ++run;
                bits.rice(run, contexts.k(kRunContext), 32);
                contexts.update(kRunContext, run);
                x += run;
                if (x == cols)
                    break;
                if (x < x1) {
                    code(zs[x - x0], cs[x - x0]);
                } else {
                    unsigned c;
                    bool flat;
                    const uint32_t p = predict(r, x, y, cols, w, c, flat);
                    code(zigzag(r.cur[x], p), c);
                }
                ++x;
            }
        }
    }
    return kLinearRiceHeaderBytes + bits.finish();
}

size_t encodeLinearRiceFloat(const float* plane, uint32_t cols, uint32_t rows, uint16_t* scratch, uint8_t* out)
{
    // planeValue16 without its branches, which keeps the loop one the
    // compiler can turn into vector code: NaN and values not above 0 take
    // the first select, values from 65535 up the second.
    const size_t n = size_t{cols} * rows;
    constexpr float kRound = 8388608.0f;
    const float* __restrict in = plane;
    uint16_t* __restrict to = scratch;
    for (size_t i = 0; i < n; ++i) {
        const float v = in[i];
        const float clamped = v > 0.0f ? (v < 65535.0f ? v : 65535.0f) : 0.0f;
        to[i] = static_cast<uint16_t>(static_cast<int32_t>((clamped + kRound) - kRound));
    }
    return encodeLinearRice(scratch, cols, rows, out);
}

namespace {

template <typename T>
bool decode(const uint8_t* in, size_t bytes, uint32_t cols, uint32_t rows, T* plane)
{
    uint32_t c0 = 0, r0 = 0;
    if (!readLinearRiceSize(in, bytes, c0, r0) || c0 != cols || r0 != rows)
        return false;
    int32_t w[kWeights];
    for (int i = 0; i < kWeights; ++i) {
        w[i] = static_cast<int16_t>(loadLe16(in + 8 + 2 * i));
        if (w[i] < -kMaxWeight || w[i] > kMaxWeight)
            return false;
    }
    BitReader bits(in + kLinearRiceHeaderBytes, bytes - kLinearRiceHeaderBytes);
    Contexts contexts;
    for (uint32_t y = 0; y < rows; ++y) {
        const Rows<T> r = rowsAt(plane, cols, y);
        T* cur = plane + size_t{y} * cols;
        for (uint32_t x = 0; x < cols; ++x) {
            unsigned c;
            bool flat;
            uint32_t p = predict(r, x, y, cols, w, c, flat);
            uint32_t z;
            if (flat) {
                uint32_t run;
                if (!bits.rice(contexts.k(kRunContext), run, 32) || run > cols - x)
                    return false;
                contexts.update(kRunContext, run);
                const T value = cur[x - 1];
                for (const uint32_t end = x + run; x < end; ++x)
                    cur[x] = value;
                if (x == cols)
                    break;
                p = predict(r, x, y, cols, w, c, flat);
            }
            if (!bits.rice(contexts.k(c), z))
                return false;
            contexts.update(c, z);
            cur[x] = static_cast<T>(unzigzag(z, p));
        }
    }
    return bits.atEnd();
}

} // namespace

bool readLinearRiceSize(const uint8_t* in, size_t bytes, uint32_t& cols, uint32_t& rows)
{
    if (bytes < kLinearRiceHeaderBytes)
        return false;
    cols = loadLe32(in);
    rows = loadLe32(in + 4);
    return true;
}

bool decodeLinearRice(const uint8_t* in, size_t bytes, uint32_t cols, uint32_t rows, uint16_t* plane)
{
    return decode(in, bytes, cols, rows, plane);
}

bool decodeLinearRiceFloat(const uint8_t* in, size_t bytes, uint32_t cols, uint32_t rows, float* plane)
{
    return decode(in, bytes, cols, rows, plane);
}

} // namespace Quorvex
