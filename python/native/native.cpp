// quorvex._native: what the quorvex package needs beyond the specified
// module, on the same camera and frame types and the same frame loans.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <utility>

#include <pybind11/pybind11.h>

#include "camera/QuorvexFrameBuffer.h"
#include "camera/QuorvexTOFCamera.h"
#include "shared/FrameLoans.h"

namespace py = pybind11;
using namespace Quorvex;

namespace {

// Python runs signal handlers only in the thread that holds the interpreter,
// so a wait gives it back at least this often: Ctrl-C then interrupts within
// one slice.
constexpr int kSliceMs = 50;

const char* const waitDoc =
    "wait_frame(camera, timeout_ms=-1) -> frame or None\n\n"
    "As camera.requestFrame, but other Python threads run while it waits and "
    "signal handlers run every 50 ms (KeyboardInterrupt ends the wait, the "
    "camera stays usable). A negative time-out waits while the stream runs. "
    "Returns None after the time-out, when the stream stops, or when a start "
    "replaces the stream the wait began on. The frame is lent exactly as by "
    "requestFrame and must be given back with releaseFrame.";

py::object waitFrame(py::object cameraObject, int timeoutMs)
{
    QuorvexTOFCamera& camera = cameraObject.cast<QuorvexTOFCamera&>();
    const std::uint64_t stream = camera.streamGeneration();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        int slice = kSliceMs;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            slice = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, kSliceMs));
        }
        QuorvexFrameBuffer* frame = nullptr;
        {
            py::gil_scoped_release free;
            frame = camera.requestFrameOfStream(static_cast<int16_t>(slice), stream);
        }
        // Starts run with the interpreter held, so none is half done here:
        // an unchanged generation means the frame's queue is the current one
        // and the loan is sound. Otherwise the frame died with its queue.
        if (camera.streamGeneration() != stream)
            return py::none();
        if (frame) {
            FrameLoans::lend(frame, &camera);
            return py::cast(frame, py::return_value_policy::reference);
        }
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        // A stopped stream posts no more frames (those still ready were
        // taken above first).
        if (!camera.isStreaming())
            return py::none();
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline)
            return py::none();
    }
}

} // namespace

PYBIND11_MODULE(_native, m)
{
    m.doc() = "Private native half of the quorvex package.";
    // The camera, frame and enumeration types are QuorvexDepthCamera's.
    py::module_::import("QuorvexDepthCamera");

    m.def("wait_frame", &waitFrame, py::arg("camera"), py::arg("timeout_ms") = -1, waitDoc);
    m.def(
        "get_control",
        [](QuorvexTOFCamera& camera, CameraCtrl ctrl) {
            int value = 0;
            const TofErrorCode status = camera.getControl(ctrl, &value);
            return std::make_pair(status, value);
        },
        py::arg("camera"), py::arg("ctrl"), "(status, value) of a control read.");
    m.def(
        "stream_generation", [](const QuorvexTOFCamera& camera) { return camera.streamGeneration(); },
        py::arg("camera"), "Count of the starts that replaced the camera's frame queue.");
    m.def(
        "read_health",
        [](const QuorvexTOFCamera& camera) {
            return std::make_pair(camera.consecutiveFailedReads(), camera.lastReadStatus());
        },
        py::arg("camera"),
        "(consecutive failed reads, status of the last read) of the capture thread: reads that "
        "keep failing mean the module is unplugged, gone or silent.");
    m.def(
        "is_streaming", [](const QuorvexTOFCamera& camera) { return camera.isStreaming(); },
        py::arg("camera"));
}
