#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "bindings.h"

namespace py = pybind11;

PYBIND11_MODULE(QuorvexDepthCamera, m)
{
    // Order matters: a signature line names the Python types registered
    // when its method is defined, so enumerations come first, then the
    // records and frames that camera methods take or return.
    init_enums(m);
    init_records(m);
    init_frames(m);
    init_camera(m);
    m.attr("__version__") = "dev";

    // numpy's C interface is set up here, on the importing thread, rather
    // than at the first array call: that set-up imports numpy with the
    // interpreter lock released, and a daemon thread caught in it while the
    // interpreter finalises ends the process. Without a usable numpy the
    // import still succeeds and the first array call raises numpy's error.
    try {
        (void)py::array_t<float>(0);
        (void)py::array_t<int16_t>(0);
    } catch (const py::error_already_set&) {
    } catch (const std::exception&) {
    }
}
