#include "codec/Rvl.h"

#include "codec/CompressedDepth.h"

namespace Quorvex {

namespace {

inline void storeWord(uint8_t* p, uint32_t w)
{
    p[0] = static_cast<uint8_t>(w);
    p[1] = static_cast<uint8_t>(w >> 8);
    p[2] = static_cast<uint8_t>(w >> 16);
    p[3] = static_cast<uint8_t>(w >> 24);
}

inline uint32_t loadWord(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

class NibbleWriter {
public:
    explicit NibbleWriter(uint8_t* out) : begin_(out), out_(out) {}

    void put(uint32_t value)
    {
        do {
            uint32_t nibble = value & 7u;
            value >>= 3;
            if (value)
                nibble |= 8u;
            word_ = word_ << 4 | nibble;
            if (++nibbles_ == 8) {
                storeWord(out_, word_);
                out_ += 4;
                nibbles_ = 0;
                word_ = 0;
            }
        } while (value);
    }

    size_t finish()
    {
        // The unused low nibbles of a last, partial word stay zero.
        if (nibbles_) {
            storeWord(out_, word_ << (4 * (8 - nibbles_)));
            out_ += 4;
            nibbles_ = 0;
        }
        return static_cast<size_t>(out_ - begin_);
    }

private:
    uint8_t* begin_;
    uint8_t* out_;
    uint32_t word_ = 0;
    unsigned nibbles_ = 0;
};

class NibbleReader {
public:
    NibbleReader(const uint8_t* in, size_t bytes) : in_(in), words_(bytes / 4) {}

    // False once the stream ends inside a value, or a value has more groups
    // than 32 bits hold (a damaged stream; the encoder writes at most 11).
    bool get(uint32_t& value)
    {
        value = 0;
        for (unsigned shift = 0; shift < 33; shift += 3) {
            if (!nibbles_) {
                if (!words_)
                    return false;
                word_ = loadWord(in_);
                in_ += 4;
                --words_;
                nibbles_ = 8;
            }
            const uint32_t nibble = word_ >> 28;
            word_ <<= 4;
            --nibbles_;
            value |= (nibble & 7u) << shift;
            if (!(nibble & 8u))
                return true;
        }
        return false;
    }

    // What a well-formed stream leaves: no whole word, and zero nibbles in
    // the last one.
    bool atEnd() const { return words_ == 0 && word_ == 0; }

private:
    const uint8_t* in_;
    size_t words_;
    uint32_t word_ = 0;
    unsigned nibbles_ = 0;
};

template <typename Source>
size_t encode(Source value, size_t pixels, uint8_t* out)
{
    NibbleWriter w(out);
    int32_t previous = 0;
    size_t i = 0;
    while (i < pixels) {
        size_t zeros = 0;
        while (i + zeros < pixels && value(i + zeros) == 0)
            ++zeros;
        w.put(static_cast<uint32_t>(zeros));
        i += zeros;
        size_t nonzeros = 0;
        while (i + nonzeros < pixels && value(i + nonzeros) != 0)
            ++nonzeros;
        w.put(static_cast<uint32_t>(nonzeros));
        for (const size_t end = i + nonzeros; i < end; ++i) {
            const int32_t current = value(i);
            const int32_t delta = current - previous;
            w.put(static_cast<uint32_t>(delta) << 1 ^ static_cast<uint32_t>(delta >> 31));
            previous = current;
        }
    }
    return w.finish();
}

template <typename Sink>
bool decode(const uint8_t* in, size_t bytes, Sink put, size_t pixels)
{
    if (bytes % 4)
        return false;
    NibbleReader r(in, bytes);
    int32_t previous = 0;
    size_t i = 0;
    while (i < pixels) {
        uint32_t zeros = 0, nonzeros = 0;
        if (!r.get(zeros) || zeros > pixels - i)
            return false;
        for (const size_t end = i + zeros; i < end; ++i)
            put(i, 0);
        if (!r.get(nonzeros) || nonzeros > pixels - i)
            return false;
        for (const size_t end = i + nonzeros; i < end; ++i) {
            uint32_t zigzag = 0;
            if (!r.get(zigzag))
                return false;
            const int64_t current =
                previous + (static_cast<int64_t>(zigzag >> 1) ^ -static_cast<int64_t>(zigzag & 1u));
            if (current < 1 || current > 65535)
                return false;
            previous = static_cast<int32_t>(current);
            put(i, static_cast<uint16_t>(current));
        }
    }
    return r.atEnd();
}

} // namespace

size_t rvlEncode(const uint16_t* values, size_t pixels, uint8_t* out)
{
    return encode([values](size_t i) { return static_cast<int32_t>(values[i]); }, pixels, out);
}

size_t rvlEncodeDepth(const float* depthMm, size_t pixels, uint8_t* out)
{
    return encode([depthMm](size_t i) { return static_cast<int32_t>(depthToMillimetre16(depthMm[i])); },
                  pixels, out);
}

bool rvlDecode(const uint8_t* in, size_t bytes, uint16_t* out, size_t pixels)
{
    return decode(in, bytes, [out](size_t i, uint16_t v) { out[i] = v; }, pixels);
}

bool rvlDecodeDepth(const uint8_t* in, size_t bytes, float* outMm, size_t pixels)
{
    return decode(in, bytes, [outMm](size_t i, uint16_t v) { outMm[i] = static_cast<float>(v); }, pixels);
}

} // namespace Quorvex
