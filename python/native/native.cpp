// quorvex._native: what the quorvex package needs beside the C-style
// QuorvexDepthCamera module, on the same camera and frame types and the
// same frame loans.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <cstring>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "camera/QuorvexFrameBuffer.h"
#include "native/filters.h"
#include "camera/QuorvexTOFCamera.h"
#include "device/Si4cLibrary.h"
#include "sensor/EvkLibrary.h"
#include "sensor/HostSurvey.h"
#include "sensor/VendorLibrary.h"
#include "native/codec.h"
#include "shared/BindingHelpers.h"
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
            FrameLoans::lend(frame, &camera, stream);
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

// Planes a take copies, as the bits of its mask.
enum : unsigned { kDepth = 1, kAmplitude = 2, kConfidence = 4 };

template <typename T>
py::object copyPlane(QuorvexFrameBuffer& frame, FrameType plane, const FrameDataFormat& format)
{
    const void* data = frame.getData(plane);
    if (!data)
        return py::none();
    return BindingHelpers::copyPlane<T>(data, format);
}

const char* const takeDoc =
    "take(camera, frame, planes=7) -> (timestamp, width, height, depth, amplitude, confidence, raw, "
    "capture_ns)\n\n"
    "Copies the planes of a lent frame (depth, amplitude, confidence as bits 1, 2, 4 of `planes`; "
    "a RAW frame's samples as uint16) and gives the frame back to the camera. Planes not asked "
    "for or not in the frame are None; capture_ns is the estimated capture instant on the clock of "
    "time.monotonic_ns(). Raises ValueError when the frame is no longer lent.";

py::tuple take(QuorvexTOFCamera& camera, QuorvexFrameBuffer& frame, unsigned planes)
{
    BindingHelpers::requireLent(frame);
    py::object depth = py::none(), amplitude = py::none(), confidence = py::none(), raw = py::none();
    FrameDataFormat format{};
    if (dynamic_cast<RawData*>(&frame)) {
        frame.getFormat(FrameType::RAW, format);
        raw = copyPlane<std::uint16_t>(frame, FrameType::RAW, format);
    } else {
        frame.getFormat(FrameType::DEPTH, format);
        if (planes & kDepth)
            depth = copyPlane<float>(frame, FrameType::DEPTH, format);
        if (planes & kAmplitude)
            amplitude = copyPlane<float>(frame, FrameType::AMPLITUDE, format);
        if (planes & kConfidence)
            confidence = copyPlane<float>(frame, FrameType::CONFIDENCE, format);
    }
    FrameTiming timing;
    const bool timed = camera.getFrameTiming(&frame, timing) == QuorvexSuccess;
    if (camera.releaseFrame(&frame) == QuorvexSuccess)
        FrameLoans::end(&frame);
    return py::make_tuple(format.timestamp, format.width, format.height, depth, amplitude, confidence, raw,
                          timed ? py::int_(timing.captureNs) : py::object(py::none()));
}

} // namespace

PYBIND11_MODULE(_native, m)
{
    m.doc() = "Private native half of the quorvex package.";
    // The camera, frame and enumeration types are QuorvexDepthCamera's.
    py::module_::import("QuorvexDepthCamera");
    initFilters(m);

    m.def("wait_frame", &waitFrame, py::arg("camera"), py::arg("timeout_ms") = -1, waitDoc);
    m.def("take", &take, py::arg("camera"), py::arg("frame"), py::arg("planes") = 7u, takeDoc);
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
        "survey_host",
        [] {
            const HostSurvey s = surveyHost();
            py::list nodes;
            for (const SurveyNode& n : s.nodes) {
                py::dict d;
                d["path"] = n.path;
                d["kind"] = n.kind;
                d["driver"] = n.driver;
                d["card"] = n.card;
                d["mode"] = n.mode;
                d["gid"] = n.gid;
                d["open_error"] = n.openError;
                nodes.append(d);
            }
            py::dict out;
            out["model"] = s.model;
            out["board"] = static_cast<uint32_t>(s.board);
            out["nodes"] = nodes;
            out["module_bus"] = s.moduleBus;
            out["module_bus_source"] = s.moduleBusSource;
            out["chip_answers"] = s.chipAnswers;
            out["chip_error"] = s.chipError;
            return out;
        },
        "The host as a set-up check sees it, read-only: device-tree model, BoardKind value, the "
        "capture, sub-device, media and I2C nodes (driver, name, mode, group, errno of a read-write "
        "open), the module's I2C bus and whether its controller answered at 0x0C.");
    m.def(
        "is_streaming", [](const QuorvexTOFCamera& camera) { return camera.isStreaming(); },
        py::arg("camera"));
    m.def(
        "open",
        [](QuorvexTOFCamera& camera, Connection connect, int index, const std::string& config,
           py::object simulated) {
            // The choice travels with this call alone: the process's
            // environment is shared by every thread and library.
            std::unique_ptr<ScopedVendorChoice> choice;
            if (!simulated.is_none()) {
                const bool wanted = simulated.cast<bool>();
                choice = std::make_unique<ScopedVendorChoice>(wanted ? VendorChoice::Simulated : VendorChoice::Vendor,
                                                              wanted ? "simulated=True" : "simulated=False");
            }
            const TofErrorCode status =
                config.empty() ? camera.open(connect, index) : camera.openWithFile(config.c_str(), index);
            return std::make_pair(status, choice ? choice->refusal() : std::string());
        },
        py::arg("camera"), py::arg("connect"), py::arg("index"), py::arg("config") = "",
        py::arg("simulated") = py::none(),
        "(status, refusal) of camera.open(connect, index), or of openWithFile(config, index) when a "
        "configuration is given, with the vendor libraries chosen by `simulated` (None: "
        "QUORVEX_SIMULATED's choice; True: the simulated ones; False: the vendor's). `refusal` says "
        "why, when a library of the other kind is loaded in this process already.");
    m.def(
        "libraries",
        []() {
            py::dict out;
            out["libquorvex_evk_sdk.so"] = EvkLibrary::inUse();
            out["libsi4c.so"] = Si4cLibrary::inUse();
            return out;
        },
        "The vendor libraries in use: for each soname \"simulated\", the path of the vendor's "
        "library, or \"\" when none has been loaded yet.");
    initCodec(m);
}
