#include <cstdint>
#include <memory>

#include "bindings.h"
#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"

namespace py = pybind11;
using namespace Quorvex;

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
        .def("open", [](QuorvexTOFCamera& self, Connection mode, int index) { return self.open(mode, index); },
             py::arg("mode"), py::arg("index") = 0, openDoc)
        .def("openWithFile",
             [](QuorvexTOFCamera& self, const char* path, int index) { return self.openWithFile(path, index); },
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
        .def("stop", [](QuorvexTOFCamera& self) { return self.stop(); }, "Stop camera stream and processing.")
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
             [](QuorvexTOFCamera& self, int16_t timeout) {
                 QuorvexFrameBuffer* frame = self.requestFrame(timeout);
                 FrameLoans::lend(frame, &self);
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
