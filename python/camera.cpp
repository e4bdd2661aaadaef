#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "bindings.h"
#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"

namespace py = pybind11;
using namespace Quorvex;

namespace {

// A configuration path as the caller gave it: text (as UTF-8), bytes or a
// bytearray, or None. Kept whole, so that a NUL inside it is seen rather
// than silently ending the path early.
struct PathArgument {
    bool null = false;
    std::string bytes;
};

} // namespace

namespace pybind11 {
namespace detail {

template <>
struct type_caster<PathArgument> {
    // Named as the plain text path the signature has always shown.
    PYBIND11_TYPE_CASTER(PathArgument, const_name("str"));

    bool load(handle src, bool)
    {
        if (!src)
            return false;
        if (src.is_none()) {
            value.null = true;
            return true;
        }
        if (PyUnicode_Check(src.ptr())) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(src.ptr(), &size);
            if (!text) {
                // Not encodable (a lone surrogate): not a path we can pass.
                PyErr_Clear();
                return false;
            }
            value.bytes.assign(text, static_cast<size_t>(size));
            return true;
        }
        if (PyBytes_Check(src.ptr())) {
            value.bytes.assign(PyBytes_AS_STRING(src.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(src.ptr())));
            return true;
        }
        if (PyByteArray_Check(src.ptr())) {
            value.bytes.assign(PyByteArray_AS_STRING(src.ptr()),
                               static_cast<size_t>(PyByteArray_GET_SIZE(src.ptr())));
            return true;
        }
        return false;
    }
};

} // namespace detail
} // namespace pybind11

namespace {

// The Python object owns its camera alone; frames it lent die with it.
struct CameraDeleter {
    void operator()(QuorvexTOFCamera* camera) const
    {
        FrameLoans::endAll(camera);
        delete camera;
    }
};
using CameraHolder = std::unique_ptr<QuorvexTOFCamera, CameraDeleter>;

const char* const openDoc =
    "Initialize the camera configuration and turn on the camera, set the initialization frame "
    "according to the mode.\n\n- mode Specify the connection method.\n- index Device node, the "
    "default value is video0.";
const char* const openWithFileDoc =
    "Initialize the camera configuration and turn on the camera, set the initialization frame "
    "according to the mode.\n\n- path Specify the config file path.\n- index Device node, the "
    "default value is video0.";

} // namespace

void init_camera(py::module_& m)
{
    py::class_<QuorvexTOFCamera, CameraHolder>(m, "QuorvexCamera")
        .def(py::init<>())
        .def("open",
             [](QuorvexTOFCamera& self, Connection mode, int index) { return self.open(mode, index); },
             py::arg("mode"), py::arg("index") = 0, openDoc)
        .def("openWithFile",
             [](QuorvexTOFCamera& self, const PathArgument& path, int index) {
                 if (path.null)
                     return self.openWithFile(nullptr, index);
                 // The library reads the path up to its first NUL: a path
                 // with one inside would open another file than the one
                 // named.
                 if (path.bytes.find('\0') != std::string::npos)
                     throw py::value_error("path contains a NUL character");
                 return self.openWithFile(path.bytes.c_str(), index);
             },
             py::arg("path"), py::arg("index") = 0, openWithFileDoc)
        .def("close", [](QuorvexTOFCamera& self) { return self.close(); }, "Close the camera")
        .def("start",
             [](QuorvexTOFCamera& self, FrameType type) {
                 TofErrorCode r;
                 try {
                     r = self.start(type);
                 } catch (...) {
                     // The stream may have been rebuilt before the failure.
                     FrameLoans::endAll(&self);
                     throw;
                 }
                 // A successful start rebuilt the frames: every frame object
                 // still held refers to freed memory now.
                 if (r == QuorvexSuccess)
                     FrameLoans::endAll(&self);
                 return r;
             },
             py::arg("type"), "Start the camera stream and start processing.")
        .def("stop", [](QuorvexTOFCamera& self) { return self.stop(); },
             "Stop camera stream and processing.")
        .def("setControl",
             [](QuorvexTOFCamera& self, CameraCtrl ctrl, int value) { return self.setControl(ctrl, value); },
             py::arg("ctrl"), py::arg("value"), "Set camera parameters.")
        .def("getControl",
             [](QuorvexTOFCamera& self, CameraCtrl ctrl) {
                 // The status is not reported: a failed read gives what the
                 // library left in the value, 0 if it left it untouched.
                 int value = 0;
                 self.getControl(ctrl, &value);
                 return value;
             },
             py::arg("ctrl"), "Get camera parameters.")
        .def("getCameraInfo", [](QuorvexTOFCamera& self) { return self.getCameraInfo(); },
             "Get camera information.")
        .def("requestFrame",
             [](QuorvexTOFCamera& self, int16_t timeout) -> QuorvexFrameBuffer* {
                 // Lent only if no start replaced the stream since the wait
                 // began; the loan also ends at the next one.
                 const uint64_t generation = self.streamGeneration();
                 QuorvexFrameBuffer* frame = self.requestFrame(timeout);
                 if (!frame || self.streamGeneration() != generation)
                     return nullptr;
                 FrameLoans::lend(frame, &self, generation);
                 return frame;
             },
             py::arg("timeout"), py::return_value_policy::reference,
             "Request a frame of data from the frame processing thread.")
        .def("releaseFrame",
             [](QuorvexTOFCamera& self, QuorvexFrameBuffer* frame) {
                 // A frame object that is no longer lent may point at freed
                 // or reused memory: refused without reaching the camera.
                 if (frame && !FrameLoans::isLent(frame))
                     return QuorvexUnkownError;
                 const TofErrorCode r = self.releaseFrame(frame);
                 if (r == QuorvexSuccess)
                     FrameLoans::end(frame);
                 return r;
             },
             py::arg("frame"), "Free the memory space of the frame.");
}
