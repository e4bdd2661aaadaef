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
}
