#pragma once

#include <cstdint>

#include <pybind11/pybind11.h>

namespace Quorvex {
class QuorvexFrameBuffer;
class QuorvexTOFCamera;
}

// One registration function per group; module.cpp calls them in order.
void init_enums(pybind11::module_& m);
void init_records(pybind11::module_& m);
void init_frames(pybind11::module_& m);
void init_camera(pybind11::module_& m);

#include "shared/BindingHelpers.h"
#include "shared/FrameLoans.h"
