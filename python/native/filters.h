#pragma once

#include <pybind11/pybind11.h>

// Registers quorvex._native.FilterChain and filter_params.
void initFilters(pybind11::module_& m);
