#include <string>

#include "bindings.h"
#include "camera/TofTypes.h"

namespace py = pybind11;
using namespace Quorvex;

void init_enums(py::module_& m)
{
    py::enum_<DeviceType>(m, "TOFDeviceType")
        .value("VGA", VGA)
        .value("HQVGA", HQVGA);

    // DEPTH before CONFIDENCE: registration order, not value order.
    py::enum_<FrameType>(m, "TOFOutput")
        .value("RAW", FrameType::RAW)
        .value("DEPTH", FrameType::DEPTH)
        .value("CONFIDENCE", FrameType::CONFIDENCE)
        .value("CACHE", FrameType::CACHE);

    py::enum_<Connection>(m, "TOFConnect")
        .value("CSI", Connection::CSI)
        .value("USB", Connection::USB);

    py::enum_<CameraCtrl>(m, "TOFControl")
        .value("RANGE", CameraCtrl::RANGE)
        .value("FMT_WIDTH", CameraCtrl::FMT_WIDTH)
        .value("FMT_HEIGHT", CameraCtrl::FMT_HEIGHT)
        .value("MODE", CameraCtrl::MODE)
        .value("FRAME_MODE", CameraCtrl::FRAME_MODE)
        .value("EXPOSURE", CameraCtrl::EXPOSURE)
        .value("FRAME_RATE", CameraCtrl::FRAME_RATE)
        .value("SKIP_FRAME", CameraCtrl::SKIP_FRAME)
        .value("SKIP_FRAME_LOOP", CameraCtrl::SKIP_FRAME_LOOP)
        .value("CONFIG_DIR_EXT", CameraCtrl::CONFIG_DIR_EXT);

    py::enum_<TofWorkMode>(m, "TofWorkMode")
        .value("SINGLE_FREQ", TofWorkMode::SINGLE_FREQ)
        .value("DOUBLE_FREQ", TofWorkMode::DOUBLE_FREQ)
        .value("TRIPLE_FREQ", TofWorkMode::TRIPLE_FREQ)
        .value("QUAD_FREQ", TofWorkMode::QUAD_FREQ)
        .value("DISTANCE", TofWorkMode::DISTANCE)
        .value("HDR", TofWorkMode::HDR)
        .value("AE", TofWorkMode::AE)
        .value("BG_OUTDOOR", TofWorkMode::BG_OUTDOOR)
        .value("GRAY_ONLY", TofWorkMode::GRAY_ONLY)
        .value("CUSTOM1", TofWorkMode::CUSTOM1)
        .value("CUSTOM2", TofWorkMode::CUSTOM2)
        .value("CUSTOM3", TofWorkMode::CUSTOM3)
        .def("__int__", [](TofWorkMode v) { return static_cast<int>(v); });

    using F = TofFrameWorkMode;
    py::enum_<F>(m, "TofFrameWorkMode")
        .value("SINGLE_FREQ_2PHASE", F::SINGLE_FREQ_2PHASE)
        .value("SINGLE_FREQ_4PHASE", F::SINGLE_FREQ_4PHASE)
        .value("SINGLE_FREQ_4PHASE_GRAY", F::SINGLE_FREQ_4PHASE_GRAY)
        .value("SINGLE_FREQ_4PHASE_BG", F::SINGLE_FREQ_4PHASE_BG)
        .value("SINGLE_FREQ_4PHASE_4BG", F::SINGLE_FREQ_4PHASE_4BG)
        .value("SINGLE_FREQ_4PHASE_GRAY_5BG", F::SINGLE_FREQ_4PHASE_GRAY_5BG)
        .value("SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG", F::SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG)
        .value("SINGLE_FREQ_GRAY_BG_4PHASE_BG", F::SINGLE_FREQ_GRAY_BG_4PHASE_BG)
        .value("SINGLE_FREQ_BG_GRAY_BG_4PHASE", F::SINGLE_FREQ_BG_GRAY_BG_4PHASE)
        .value("SINGLE_FREQ_BG_4PHASE_BG_GRAY", F::SINGLE_FREQ_BG_4PHASE_BG_GRAY)
        .value("DOUBLE_FREQ_4PHASE", F::DOUBLE_FREQ_4PHASE)
        .value("DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG", F::DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG)
        .value("DOUBLE_FREQ_4PHASE_4BG", F::DOUBLE_FREQ_4PHASE_4BG)
        .value("DOUBLE_FREQ_4PHASE_GRAY_5BG", F::DOUBLE_FREQ_4PHASE_GRAY_5BG)
        .value("TRIPLE_FREQ_4PHASE", F::TRIPLE_FREQ_4PHASE)
        .value("TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG",
               F::TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG)
        .value("QUAD_FREQ_4PHASE", F::QUAD_FREQ_4PHASE)
        .value("QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG",
               F::QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG)
        .value("BG_OUTDOOR", F::BG_OUTDOOR)
        .value("GRAY_ONLY", F::GRAY_ONLY)
        .value("CUSTOM", F::CUSTOM)
        .def("__int__", [](F v) { return static_cast<int>(v); });

    py::enum_<TofErrorCode>(m, "TOFErrorCode")
        .value("QuorvexSuccess", QuorvexSuccess)
        .value("QuorvexInvalidParameter", QuorvexInvalidParameter)
        .value("QuorvexNoCache", QuorvexNoCache)
        .value("QuorvexUnkownDevice", QuorvexUnkownDevice)
        .value("QuorvexNotImplemented", QuorvexNotImplemented)
        .value("QuorvexSkipFrame", QuorvexSkipFrame)
        .value("QuorvexSystemError", QuorvexSystemError)
        .value("QuorvexUnkownError", QuorvexUnkownError)
        .def("str", [](TofErrorCode code) { return std::string(to_str(code)); });
}
