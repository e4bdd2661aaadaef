#include "bindings.h"
#include "camera/TofTypes.h"

namespace py = pybind11;
using namespace Quorvex;

void init_records(py::module_& m)
{
    // No constructors: records only come out of the camera, as copies.
    py::class_<FrameDataFormat>(m, "QuorvexFormat")
        .def_readwrite("width", &FrameDataFormat::width)
        .def_readwrite("height", &FrameDataFormat::height)
        .def_readwrite("timestamp", &FrameDataFormat::timestamp)
        .def_readwrite("type", &FrameDataFormat::type);

    py::class_<CameraInfo>(m, "QuorvexInfo")
        .def_readwrite("index", &CameraInfo::index)
        .def_readwrite("connect", &CameraInfo::connect)
        .def_readwrite("device_type", &CameraInfo::device_type)
        .def_readwrite("type", &CameraInfo::type)
        .def_readwrite("width", &CameraInfo::width)
        .def_readwrite("height", &CameraInfo::height)
        .def_readwrite("bit_width", &CameraInfo::bit_width)
        .def_readwrite("bpp", &CameraInfo::bpp);
}
