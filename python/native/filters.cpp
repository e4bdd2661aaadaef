// The depth filter chain for the quorvex package: one chain per stream, its
// parameters set by name, frames given as numpy planes from any source.
#include "native/filters.h"

#include <cstring>
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

FilterParams fromDict(const std::string& preset, const py::dict& values)
{
    FilterParams p;
    if (!filterPreset(preset.c_str(), p))
        throw py::value_error("unknown filter preset '" + preset + "'; known: default, near, far");
    for (auto item : values) {
        const std::string key = py::str(item.first);
        bool found = false;
        for (const BoolField& f : kBools)
            if (key == f.name) {
                p.*f.member = item.second.cast<bool>();
                found = true;
            }
        for (const FloatField& f : kFloats)
            if (key == f.name) {
                p.*f.member = item.second.cast<float>();
                found = true;
            }
        if (key == "hole_min_neighbours") {
            p.holeMinNeighbours = item.second.cast<int>();
            found = true;
        }
        if (!found)
            throw py::value_error("unknown filter parameter '" + key + "'");
    }
    return p;
}

Plane apply(FilterChain& chain, const Plane& depth, const Plane& amplitude, float rangeMm)
{
    if (depth.ndim() != 2 || amplitude.ndim() != 2 || depth.shape(0) != amplitude.shape(0) ||
        depth.shape(1) != amplitude.shape(1))
        throw py::value_error("depth and amplitude must be 2-D planes of the same shape");
    if (!(rangeMm > 0.0f))
        throw py::value_error("range_mm must be positive");
    const py::ssize_t h = depth.shape(0);
    const py::ssize_t w = depth.shape(1);
    Plane out({h, w});
    std::memcpy(out.mutable_data(), depth.data(), sizeof(float) * static_cast<size_t>(h * w));
    {
        py::gil_scoped_release free;
        chain.apply({out.mutable_data(), amplitude.data(), static_cast<int>(w), static_cast<int>(h), rangeMm});
    }
    return out;
}

} // namespace

void initFilters(py::module_& m)
{
    m.def(
        "filter_params", [](const std::string& preset) { return toDict(fromDict(preset, py::dict())); },
        py::arg("preset") = "default", "The parameters of a preset, by name.");
    py::class_<FilterChain>(m, "FilterChain",
                            "The filter chain with the temporal state of one stream; not shared between threads.")
        .def(py::init([](const std::string& preset, const py::dict& values) {
                 return FilterChain(fromDict(preset, values));
             }),
             py::arg("preset") = "default", py::arg("values") = py::dict())
        .def(
            "configure",
            [](FilterChain& c, const std::string& preset, const py::dict& values) {
                c.setParams(fromDict(preset, values));
            },
            py::arg("preset"), py::arg("values"), "New parameters; the temporal average is kept.")
        .def("reset", &FilterChain::reset, "Forgets the temporal average.")
        .def("apply", &apply, py::arg("depth"), py::arg("amplitude"), py::arg("range_mm"),
             "Filtered copy of `depth` (mm, 0 = invalid); updates the temporal state.");
}
