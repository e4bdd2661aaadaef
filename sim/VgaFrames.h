#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/SceneModel.h"
#include "sim/SensorPhysics.h"

// Raw frames of the VGA module (640 x 480 or 320 x 240), in the layout the
// depth engine defines in vendor/libsi4c/si4c.h: per modulation frequency
// five sub-frames of H + 1 rows (an embedded-data row, then the image):
// phase steps 0..3 and a grey (ambient) image. Samples are unsigned 12-bit
// values in the low bits of each little-endian word.
//
// Light model on top of the scene model's physics: every phase sample is
// dark level + ambient + A * cos(phase + step * 90°), the grey sample is the
// ambient alone, and the ambient a surface returns is `ambient` times its
// reflectivity (it does not fall off with distance: the source is not the
// camera's).

namespace Quorvex::sim {

// The VGA sensor's correlation model: unsigned 12-bit samples around a dark
// level of 2048.
CorrelationModel vgaCorrelationModel();

struct VgaLight {
    CorrelationModel model = vgaCorrelationModel();
    // Grey level of a perfect reflector under the scene's ambient light.
    double ambient = 100.0;
};

// Rows of one raw frame.
int vgaRawRows(int height, bool singleFreq);
// 16-bit words of one raw frame.
size_t vgaFrameWords(int width, int height, bool singleFreq);

// Renders one raw frame of `scene` (which must be width x height) into
// `out` (vgaFrameWords words).
// False, nothing written, for a scene of another size.
bool renderVgaFrame(const Scene& scene, int width, int height, bool singleFreq, uint16_t* out,
                    const VgaLight& light = {}, NoiseSource* noise = nullptr);

// The same frame from the realistic world (whose image must be width x
// height): the phase samples carry the sensor's dark level of 2048 plus the
// pixel's ambient level as their common mode, the grey image the ambient
// level alone, each with its noise. Sub-frame s of frequency f is taken
// (5f + s) ms after the frame began. False when the world's render was
// cancelled meanwhile.
bool renderVgaFrame(PhysicalWorld& world, uint64_t frame, bool singleFreq, uint16_t* out, NoiseSource& noise);

} // namespace Quorvex::sim
