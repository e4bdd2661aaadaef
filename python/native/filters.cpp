// The depth filter chain for the quorvex package: one chain per stream, its
// parameters set by name, frames given as numpy planes from any source.
#include "native/filters.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "filters/FilterChain.h"

namespace py = pybind11;
using namespace Quorvex;

namespace {

using Plane = py::array_t<float, py::array::c_style | py::array::forcecast>;

// Parameter names as the package spells them, and where each lives.
struct FloatField {
    const char* name;
    float FilterParams::*member;
};
struct BoolField {
    const char* name;
    bool FilterParams::*member;
};
const FloatField kFloats[] = {
    {"sample_noise", &FilterParams::sampleNoise},
    {"max_noise", &FilterParams::maxNoise},
    {"noise_floor_mm", &FilterParams::noiseFloorMm},
    {"min_amplitude", &FilterParams::minAmplitude},
    {"saturation", &FilterParams::saturation},
    {"alias_gain", &FilterParams::aliasGain},
    {"flying_gap_mm", &FilterParams::flyingGapMm},
    {"flying_gap_rel", &FilterParams::flyingGapRel},
    {"flying_amp_ratio", &FilterParams::flyingAmpRatio},
    {"flying_slope_tol", &FilterParams::flyingSlopeTol},
    {"spatial_delta_mm", &FilterParams::spatialDeltaMm},
    {"spatial_delta_rel", &FilterParams::spatialDeltaRel},
    {"temporal_alpha", &FilterParams::temporalAlpha},
    {"temporal_delta_mm", &FilterParams::temporalDeltaMm},
    {"temporal_delta_rel", &FilterParams::temporalDeltaRel},
};
const BoolField kBools[] = {
    {"confidence", &FilterParams::confidence}, {"aliasing", &FilterParams::aliasing},
    {"flying", &FilterParams::flying},         {"spatial", &FilterParams::spatial},
    {"temporal", &FilterParams::temporal},     {"holes", &FilterParams::holes},
};

py::dict toDict(const FilterParams& p)
{
    py::dict d;
    for (const BoolField& f : kBools)
        d[f.name] = p.*f.member;
    for (const FloatField& f : kFloats)
        d[f.name] = p.*f.member;
    d["hole_min_neighbours"] = p.holeMinNeighbours;
    return d;
}

// A bound as people write it: 1000000, not 1e+06.
std::string number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, v == std::floor(v) && std::fabs(v) < 1e15 ? "%.0f" : "%g", v);
    return text;
}

std::string accepts(const FilterParamRange& r)
{
    if (r.integer)
        return "an integer from " + number(r.min) + " to " + number(r.max);
    return std::string("a number in ") + (r.minExcluded ? "(" : "[") + number(r.min) + ", " + number(r.max) + "]";
}

[[noreturn]] void refuse(const std::string& name, const std::string& what, const py::handle& value)
{
    // A long list or array is named by its start.
    std::string shown = py::repr(value);
    if (shown.size() > 60)
        shown = shown.substr(0, 57) + "...";
    throw py::value_error(name + " must be " + what + ", not " + shown);
}

bool isBool(const py::handle& value)
{
    // numpy's bool is no subclass of Python's.
    static const py::handle numpyBool = py::object(py::module_::import("numpy").attr("bool_")).release();
    return py::isinstance<py::bool_>(value) || py::isinstance(value, numpyBool);
}

// One parameter's value checked and converted as the package hands it on:
// a switch True or False (or 0, 1), a number finite and within its range,
// hole_min_neighbours a whole number within its range.
py::object checked(const std::string& name, const py::handle& value)
{
    for (const BoolField& f : kBools)
        if (name == f.name) {
            if (isBool(value))
                return py::bool_(PyObject_IsTrue(value.ptr()) == 1);
            if (PyIndex_Check(value.ptr())) {
                const py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
                if (i && (i.equal(py::int_(0)) || i.equal(py::int_(1))))
                    return py::bool_(i.equal(py::int_(1)));
                PyErr_Clear();
            }
            refuse(name, "True or False", value);
        }
    const FilterParamRange* range = filterParamRange(name.c_str());
    if (!range)
        throw py::value_error("unknown filter parameter '" + name + "'");
    const std::string what = accepts(*range);
    if (isBool(value))
        refuse(name, what, value);
    if (range->integer) {
        if (!PyIndex_Check(value.ptr()))
            refuse(name, what, value);
        const py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
        if (!i) {
            PyErr_Clear();
            refuse(name, what, value);
        }
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
        if (overflow || v < range->min || v > range->max)
            refuse(name, what, value);
        return py::int_(v);
    }
    // Strings, None, lists and complex numbers have no float value; a
    // numpy array of one element would, but a parameter is a number.
    if (!PyNumber_Check(value.ptr()) || py::isinstance<py::array>(value))
        refuse(name, what, value);
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        refuse(name, what, value);
    }
    const bool fits = std::isfinite(v) && (range->minExcluded ? v > range->min : v >= range->min) && v <= range->max;
    // The chain keeps float32: a value that rounds onto an excluded end is out.
    const float f = static_cast<float>(v);
    if (!fits || (range->minExcluded && !(static_cast<double>(f) > range->min)))
        refuse(name, what, value);
    return py::float_(v);
}

FilterParams fromDict(const std::string& preset, const py::dict& values)
{
    FilterParams p;
    if (!filterPreset(preset.c_str(), p))
        throw py::value_error("unknown filter preset '" + preset + "'; known: default, near, far");
    for (auto item : values) {
        const std::string key = py::str(item.first);
        const py::object value = checked(key, item.second);
        for (const BoolField& f : kBools)
            if (key == f.name)
                p.*f.member = value.cast<bool>();
        for (const FloatField& f : kFloats)
            if (key == f.name)
                p.*f.member = value.cast<float>();
        if (key == "hole_min_neighbours")
            p.holeMinNeighbours = value.cast<int>();
    }
    return p;
}

// A numpy plane as the chain reads it: its own strides where they are
// rows of packed floats, else a packed copy.
using AnyPlane = py::array_t<float, py::array::forcecast>;

ImageView<const float> view(const AnyPlane& plane)
{
    return {plane.data(), static_cast<int>(plane.shape(1)), static_cast<int>(plane.shape(0)),
            static_cast<size_t>(plane.strides(0))};
}

AnyPlane rows(const AnyPlane& plane)
{
    const bool fits = plane.strides(1) == static_cast<py::ssize_t>(sizeof(float)) && plane.strides(0) > 0 &&
                      plane.strides(0) % static_cast<py::ssize_t>(sizeof(float)) == 0 &&
                      plane.strides(0) >= plane.strides(1) * plane.shape(1);
    if (fits)
        return plane;
    return AnyPlane(py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(plane));
}

Plane apply(FilterChain& chain, const AnyPlane& depthIn, const AnyPlane& amplitudeIn, double rangeMm)
{
    if (depthIn.ndim() != 2 || amplitudeIn.ndim() != 2 || depthIn.shape(0) != amplitudeIn.shape(0) ||
        depthIn.shape(1) != amplitudeIn.shape(1))
        throw py::value_error("depth and amplitude must be 2-D planes of the same shape");
    if (depthIn.shape(0) == 0 || depthIn.shape(1) == 0 || depthIn.shape(0) > INT32_MAX || depthIn.shape(1) > INT32_MAX)
        throw py::value_error("depth and amplitude must have at least one row and one column");
    if (!(rangeMm > 0.0 && rangeMm <= 1e30))
        throw py::value_error("range_mm must be a positive finite number (mm)");
    const AnyPlane depth = rows(depthIn);
    const AnyPlane amplitude = rows(amplitudeIn);
    const py::ssize_t h = depth.shape(0);
    const py::ssize_t w = depth.shape(1);
    Plane out({h, w});
    const FilterInput input{view(depth), view(amplitude), static_cast<float>(rangeMm)};
    const ImageView<float> target(out.mutable_data(), static_cast<int>(w), static_cast<int>(h));
    TofErrorCode status;
    {
        // The chain serialises its callers itself.
        py::gil_scoped_release free;
        status = chain.apply(input, target);
    }
    if (status != QuorvexSuccess)
        throw py::value_error("the filter chain refused the planes or its parameters");
    return out;
}

} // namespace

void initFilters(py::module_& m)
{
    m.def(
        "filter_params", [](const std::string& preset) { return toDict(fromDict(preset, py::dict())); },
        py::arg("preset") = "default", "The parameters of a preset, by name.");
    m.def("filter_param", &checked, py::arg("name"), py::arg("value"),
          "`value` as parameter `name` takes it (bool, float or int); ValueError naming the parameter and what "
          "it accepts otherwise.");
    py::class_<FilterChain>(m, "FilterChain",
                            "The filter chain with the temporal state of one stream; safe to call from several "
                            "threads (calls are serialised).")
        .def(py::init([](const std::string& preset, const py::dict& values) {
                 return std::make_unique<FilterChain>(fromDict(preset, values));
             }),
             py::arg("preset") = "default", py::arg("values") = py::dict())
        .def(
            "configure",
            [](FilterChain& c, const std::string& preset, const py::dict& values) {
                const FilterParams p = fromDict(preset, values);
                py::gil_scoped_release free;
                c.setParams(p);
            },
            py::arg("preset"), py::arg("values"), "New parameters; the temporal average is kept.")
        .def("params", [](const FilterChain& c) { return toDict(c.params()); },
             "The parameters the chain runs with.")
        .def("reset", &FilterChain::reset, py::call_guard<py::gil_scoped_release>(), "Forgets the temporal average.")
        .def("apply", &apply, py::arg("depth"), py::arg("amplitude"), py::arg("range_mm"),
             "Filtered copy of `depth` (mm, 0 = invalid); updates the temporal state.");
}
