#include <cstring>
#include <vector>

#include <pybind11/numpy.h>

#include "bindings.h"
#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"

namespace py = pybind11;
using namespace Quorvex;

namespace {

using BindingHelpers::requireLent;

template <typename T>
py::array_t<T> copyPlane(QuorvexFrameBuffer& frame, FrameType plane, FrameType format)
{
    requireLent(frame);
    const void* data = frame.getData(plane);
    if (!data)
        throw py::type_error("frame has no such plane");
    FrameDataFormat f{};
    frame.getFormat(format, f);
    return BindingHelpers::copyPlane<T>(data, f);
}

FrameDataFormat formatOf(QuorvexFrameBuffer& frame, FrameType type)
{
    requireLent(frame);
    FrameDataFormat f{};
    frame.getFormat(type, f);
    return f;
}

} // namespace


void init_frames(py::module_& m)
{
    py::class_<QuorvexFrameBuffer>(m, "QuorvexFrame");

    // getRawData types self as the base class, so it can be applied to a
    // frame without a raw plane: that is refused rather than copied.
    py::class_<RawData, QuorvexFrameBuffer>(m, "RawData")
        .def("getRawData",
             [](QuorvexFrameBuffer& self) { return copyPlane<int16_t>(self, FrameType::RAW, FrameType::RAW); },
             "Get raw data from the frame")
        .def("getFrameFormat", [](RawData& self) { return formatOf(self, FrameType::RAW); },
             "Get the information of this frame");

    py::class_<DepthData, QuorvexFrameBuffer>(m, "DepthData")
        .def("getDepthData",
             [](DepthData& self) { return copyPlane<float>(self, FrameType::DEPTH, FrameType::DEPTH); },
             "Get depth data from the frame")
        .def("getConfidenceData",
             [](DepthData& self) { return copyPlane<float>(self, FrameType::CONFIDENCE, FrameType::DEPTH); },
             "Get confidence data from the frame")
        .def("getAmplitudeData",
             [](DepthData& self) { return copyPlane<float>(self, FrameType::AMPLITUDE, FrameType::DEPTH); },
             "Get amplitude data from the frame")
        .def("getFrameFormat", [](DepthData& self) { return formatOf(self, FrameType::DEPTH); },
             "Get the information of this frame");
}
