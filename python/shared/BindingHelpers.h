#pragma once

// Helpers both extension modules bind frames and cameras with, so that the
// two report a stale frame and an uninitialised camera the same way.

#include <cstddef>
#include <cstring>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"
#include "shared/FrameLoans.h"

namespace BindingHelpers {

// Raises ValueError unless `frame` is still lent to Python.
inline void requireLent(const Quorvex::QuorvexFrameBuffer& frame)
{
    if (!FrameLoans::isLent(&frame))
        throw pybind11::value_error("frame is no longer valid: it was released, its stream was "
                                    "restarted, or its camera is gone");
}

// Fresh C-contiguous (height, width) copy of a plane of `format`'s size;
// never a view, so the array outlives the frame.
template <typename T>
pybind11::array_t<T> copyPlane(const void* data, const Quorvex::FrameDataFormat& format)
{
    pybind11::array_t<T> out({static_cast<pybind11::ssize_t>(format.height),
                              static_cast<pybind11::ssize_t>(format.width)});
    const size_t n = static_cast<size_t>(format.width) * format.height;
    if (n)
        std::memcpy(out.mutable_data(), data, n * sizeof(T));
    return out;
}

} // namespace BindingHelpers

namespace pybind11 {
namespace detail {

// Every function takes the camera through this caster. An object made with
// QuorvexCamera.__new__ has never run __init__, so it holds no camera; the
// generic caster would hand the function a fresh, uninitialised one.
template <>
class type_caster<Quorvex::QuorvexTOFCamera> : public type_caster_base<Quorvex::QuorvexTOFCamera> {
public:
    bool load(handle src, bool convert)
    {
        const type_info* camera = get_type_info(typeid(Quorvex::QuorvexTOFCamera));
        if (src && camera && PyObject_TypeCheck(src.ptr(), camera->type)) {
            const value_and_holder held = reinterpret_cast<instance*>(src.ptr())->get_value_and_holder(camera);
            if (!held.holder_constructed())
                throw type_error("QuorvexCamera object is not initialised: its __init__ was never called");
        }
        return type_caster_base<Quorvex::QuorvexTOFCamera>::load(src, convert);
    }
};

} // namespace detail
} // namespace pybind11
