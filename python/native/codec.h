#pragma once

#include <pybind11/pybind11.h>

// Registers the depth and plane coders on the package's native module.
void initCodec(pybind11::module_& m);
