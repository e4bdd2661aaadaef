// The depth and plane coders of codec/ for the quorvex package: numpy
// arrays in, bytes out, and back. The coders run without the interpreter
// held; their inputs are arrays this call keeps alive.
#include "native/codec.h"

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include <Python.h>
#include <pybind11/numpy.h>

#include "codec/CompressedDepth.h"
#include "codec/LinearRice.h"
#include "codec/PlaneCoding.h"
#include "codec/Rvl.h"

namespace py = pybind11;
using namespace Quorvex;

namespace {

template <typename T>
using CArray = py::array_t<T, py::array::c_style | py::array::forcecast>;

// A bytes object of at most `capacity` bytes filled by `fill`, which
// returns how many it wrote; the object is then cut to that.
template <typename Fill>
py::bytes bytesOf(size_t capacity, Fill fill)
{
    PyObject* obj = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
    if (!obj)
        throw py::error_already_set();
    size_t n = 0;
    {
        py::gil_scoped_release free;
        n = fill(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(obj)));
    }
    if (_PyBytes_Resize(&obj, static_cast<Py_ssize_t>(n)) != 0)
        throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(obj);
}

struct Bytes {
    const uint8_t* data;
    size_t size;
};

Bytes bytesView(const py::buffer_info& info)
{
    if (info.ndim != 1 || info.itemsize != 1 || (info.size > 1 && info.strides[0] != 1))
        throw py::type_error("expected bytes or another contiguous byte buffer");
    return {static_cast<const uint8_t*>(info.ptr), static_cast<size_t>(info.size)};
}

template <typename T>
void checkImage(const CArray<T>& a, const char* what)
{
    if (a.ndim() != 2)
        throw py::value_error(std::string(what) + " must be a 2-D image");
    if (a.shape(0) > 0xFFFFFFFFll || a.shape(1) > 0xFFFFFFFFll)
        throw py::value_error(std::string(what) + " is too large");
}

// Images no module and no recording holds: the guard against a claimed size
// allocating without bound.
constexpr size_t kMaxPixels = size_t{1} << 24;

void checkSize(uint32_t width, uint32_t height)
{
    if (width == 0 || height == 0 || static_cast<uint64_t>(width) * height > kMaxPixels)
        throw py::value_error("image of " + std::to_string(width) + " x " + std::to_string(height) +
                              " pixels: outside 1 ... 16 Mpixels");
}

template <typename T>
py::bytes encodeDepth(const CArray<T>& depth)
{
    checkImage(depth, "depth");
    const auto rows = static_cast<uint32_t>(depth.shape(0));
    const auto cols = static_cast<uint32_t>(depth.shape(1));
    const T* p = depth.data();
    return bytesOf(compressedDepthMaxBytes(cols, rows), [&](uint8_t* out) {
        if constexpr (std::is_same_v<T, float>)
            return encodeCompressedDepth(p, cols, rows, out);
        else
            return encodeCompressedDepth16(p, cols, rows, out);
    });
}

py::array_t<float> decodeDepth(const py::buffer& data, uint32_t width, uint32_t height)
{
    checkSize(width, height);
    const py::buffer_info info = data.request();
    const Bytes in = bytesView(info);
    py::array_t<float> out({static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width)});
    float* p = out.mutable_data();
    CompressedDepthStatus status;
    {
        py::gil_scoped_release free;
        status = decodeCompressedDepth(in.data, in.size, width, height, p);
    }
    if (status == CompressedDepthStatus::WRONG_SIZE) {
        uint32_t c = 0, r = 0;
        readCompressedDepthSize(in.data, in.size, c, r);
        throw py::value_error("compressedDepth payload of " + std::to_string(c) + " x " + std::to_string(r) +
                              ", expected " + std::to_string(width) + " x " + std::to_string(height));
    }
    if (status != CompressedDepthStatus::OK)
        throw py::value_error(std::string("compressedDepth payload is ") + to_str(status));
    return out;
}

template <typename T>
py::bytes planeResidual(const CArray<T>& plane)
{
    checkImage(plane, "plane");
    const auto rows = static_cast<size_t>(plane.shape(0));
    const auto cols = static_cast<size_t>(plane.shape(1));
    const T* p = plane.data();
    return bytesOf(2 * rows * cols, [&](uint8_t* out) {
        if constexpr (std::is_same_v<T, float>)
            encodePlaneResidual(p, cols, rows, out);
        else
            encodePlaneResidual16(p, cols, rows, out);
        return 2 * rows * cols;
    });
}

template <typename T>
py::array_t<T> planeFromResidual(const py::buffer& data, uint32_t width, uint32_t height)
{
    checkSize(width, height);
    const py::buffer_info info = data.request();
    const Bytes in = bytesView(info);
    const size_t n = static_cast<size_t>(width) * height;
    if (in.size != 2 * n)
        throw py::value_error("plane residual of " + std::to_string(in.size) + " bytes for " +
                              std::to_string(width) + " x " + std::to_string(height) + " pixels (expected " +
                              std::to_string(2 * n) + ")");
    py::array_t<T> out({static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width)});
    T* p = out.mutable_data();
    {
        py::gil_scoped_release free;
        if constexpr (std::is_same_v<T, float>)
            decodePlaneResidual(in.data, width, height, p);
        else
            decodePlaneResidual16(in.data, width, height, p);
    }
    return out;
}

template <typename T>
py::bytes encodeRice(const CArray<T>& plane)
{
    checkImage(plane, "plane");
    const auto rows = static_cast<uint32_t>(plane.shape(0));
    const auto cols = static_cast<uint32_t>(plane.shape(1));
    const T* p = plane.data();
    return bytesOf(linearRiceMaxBytes(cols, rows), [&](uint8_t* out) {
        if constexpr (std::is_same_v<T, float>) {
            std::vector<uint16_t> rounded(size_t{cols} * rows);
            return encodeLinearRiceFloat(p, cols, rows, rounded.data(), out);
        }
        else
            return encodeLinearRice(p, cols, rows, out);
    });
}

template <typename T>
py::array_t<T> decodeRice(const py::buffer& data, uint32_t width, uint32_t height)
{
    checkSize(width, height);
    const py::buffer_info info = data.request();
    const Bytes in = bytesView(info);
    uint32_t c = 0, r = 0;
    if (!readLinearRiceSize(in.data, in.size, c, r))
        throw py::value_error("plane payload of " + std::to_string(in.size) + " bytes: shorter than its header");
    if (c != width || r != height)
        throw py::value_error("plane payload of " + std::to_string(c) + " x " + std::to_string(r) + ", expected " +
                              std::to_string(width) + " x " + std::to_string(height));
    py::array_t<T> out({static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width)});
    T* p = out.mutable_data();
    bool ok;
    {
        py::gil_scoped_release free;
        if constexpr (std::is_same_v<T, float>)
            ok = decodeLinearRiceFloat(in.data, in.size, width, height, p);
        else
            ok = decodeLinearRice(in.data, in.size, width, height, p);
    }
    if (!ok)
        throw py::value_error("plane payload of " + std::to_string(width) + " x " + std::to_string(height) +
                              " is damaged (a weight out of range, a truncated stream or bytes after its end)");
    return out;
}

} // namespace

void initCodec(py::module_& m)
{
    m.def("encode_depth", &encodeDepth<float>, py::arg("depth_mm"),
          "compressedDepth payload (\"16UC1; compressedDepth rvl\") of a float32 depth image in "
          "millimetres: rounded to whole millimetres; 0, NaN, < 0.5 and >= 65535.5 mm are no reading.");
    m.def("encode_depth16", &encodeDepth<uint16_t>, py::arg("depth_mm"),
          "compressedDepth payload of a uint16 depth image in millimetres (0 = no reading).");
    m.def("decode_depth", &decodeDepth, py::arg("data"), py::arg("width"), py::arg("height"),
          "float32 millimetres (0 = no reading) of a compressedDepth payload that must be width x "
          "height; ValueError when it is not.");
    m.def(
        "depth_size",
        [](const py::buffer& data) {
            const py::buffer_info info = data.request();
            const Bytes in = bytesView(info);
            uint32_t c = 0, r = 0;
            const CompressedDepthStatus s = readCompressedDepthSize(in.data, in.size, c, r);
            if (s != CompressedDepthStatus::OK)
                throw py::value_error(std::string("compressedDepth payload is ") + to_str(s));
            return py::make_tuple(c, r);
        },
        py::arg("data"), "(width, height) a compressedDepth payload claims.");
    m.def(
        "rvl_encode",
        [](const CArray<uint16_t>& values) {
            const size_t n = static_cast<size_t>(values.size());
            const uint16_t* p = values.data();
            return bytesOf(rvlMaxBytes(n), [&](uint8_t* out) { return rvlEncode(p, n, out); });
        },
        py::arg("values"), "The RVL stream (32-bit little-endian words) of uint16 values in C order.");
    m.def(
        "rvl_decode",
        [](const py::buffer& data, size_t pixels) {
            if (pixels > kMaxPixels)
                throw py::value_error("more than 16 Mpixels");
            const py::buffer_info info = data.request();
            const Bytes in = bytesView(info);
            py::array_t<uint16_t> out(static_cast<py::ssize_t>(pixels));
            uint16_t* p = out.mutable_data();
            bool ok;
            {
                py::gil_scoped_release free;
                ok = rvlDecode(in.data, in.size, p, pixels);
            }
            if (!ok)
                throw py::value_error("not an RVL stream of " + std::to_string(pixels) + " values");
            return out;
        },
        py::arg("data"), py::arg("pixels"), "The uint16 values of an RVL stream of exactly `pixels` values.");
    m.def("plane_residual", &planeResidual<float>, py::arg("plane"),
          "2 * pixels bytes of a float32 plane rounded to 16 bits (see quorvex.depthcoding).");
    m.def("plane_residual16", &planeResidual<uint16_t>, py::arg("plane"),
          "2 * pixels bytes of a uint16 plane.");
    m.def("plane_from_residual", &planeFromResidual<float>, py::arg("data"), py::arg("width"),
          py::arg("height"), "The float32 plane (whole values) of plane_residual's bytes.");
    m.def("plane_from_residual16", &planeFromResidual<uint16_t>, py::arg("data"), py::arg("width"),
          py::arg("height"), "The uint16 plane of plane_residual16's bytes.");
    m.def("encode_rice", &encodeRice<float>, py::arg("plane"),
          "\"16UC1; linear rice\" payload of a float32 plane rounded to 16 bits (see quorvex.depthcoding).");
    m.def("encode_rice16", &encodeRice<uint16_t>, py::arg("plane"), "\"16UC1; linear rice\" payload of a uint16 plane.");
    m.def("decode_rice", &decodeRice<float>, py::arg("data"), py::arg("width"), py::arg("height"),
          "The float32 plane (whole values) of a linear rice payload that must be width x height.");
    m.def("decode_rice16", &decodeRice<uint16_t>, py::arg("data"), py::arg("width"), py::arg("height"),
          "The uint16 plane of a linear rice payload that must be width x height.");
    m.def(
        "rice_size",
        [](const py::buffer& data) {
            const py::buffer_info info = data.request();
            const Bytes in = bytesView(info);
            uint32_t c = 0, r = 0;
            if (!readLinearRiceSize(in.data, in.size, c, r))
                throw py::value_error("plane payload of " + std::to_string(in.size) +
                                      " bytes: shorter than its header");
            return py::make_tuple(c, r);
        },
        py::arg("data"), "(width, height) a linear rice payload claims.");
}
