#pragma once

/*
 * si4c: depth engine of the VGA module (640 x 480 or 320 x 240).
 *
 * This is the open engine shipped with the driver; a vendor's build of the
 * same interface installed on the system is opened instead, at run time.
 * Every function returns nonzero on success and 0 on failure, and none of
 * them dereferences a null handle.
 *
 * Raw frame layout
 * ----------------
 * A raw frame is W 16-bit little-endian samples per row, rows one after the
 * other. The significant value of a sample is its low 12 bits (0..4095); the
 * upper 4 bits are ignored. One frequency contributes five sub-frames of
 * H + 1 rows each, in this order:
 *
 *   sub-frame 0..3  phase images: the correlation with the reference
 *                   advanced by k * 90 degrees, offset + A * cos(phase + k * 90)
 *   sub-frame 4     grey image: the scene's ambient light, illumination off
 *
 * The first row of every sub-frame is an embedded-data row; the H rows that
 * follow are the image. Embedded-data words (the rest of the row is zero):
 *
 *   word 0  SI4C_EMBEDDED_MARKER
 *   word 1  frequency index (0: SI4C_FREQ1_HZ, 1: SI4C_FREQ2_HZ)
 *   word 2  sub-frame index 0..4
 *   word 3  modulation frequency in units of 100 kHz
 *
 * Single-frequency mode: (H + 1) * 5 rows, frequency 0 only.
 * Dual-frequency mode:   (H + 1) * 10 rows, the five sub-frames of
 *                        frequency 0 followed by the five of frequency 1.
 *
 * A frame whose embedded rows do not carry exactly this sequence for the
 * current mode is refused (SiSDKGetPhaseImage returns 0): that is how a
 * frame captured in the other frequency mode is recognised.
 *
 * Depth decoding
 * --------------
 * With C0..C3 the four phase samples of a pixel and G its grey sample:
 *   I = C0 - C2, Q = C3 - C1, phase = atan2(Q, I) in [0, 2 pi)
 *   distance  = phase / (2 pi) * c / (2 f)  (millimetres)
 *   amplitude = 0.5 * sqrt(I^2 + Q^2)       (sample units)
 *   confidence = amplitude / sqrt(1 + amplitude + G), the signal-to-noise
 *                ratio under shot noise of signal and ambient light
 * Frequency 0 (SI4C_FREQ1_HZ = c / 2.5 m, about 119.9 MHz) is unambiguous up
 * to 1250 mm. Frequency 1 is three quarters of it (about 89.9 MHz, 1666.7
 * mm), so the pair repeats only every 5000 mm (4 x 1250 = 3 x 1666.7): in
 * dual-frequency mode the engine tries the 4 x 3 wrap counts, takes the pair
 * whose two distances agree best, and blends them weighted by their phase
 * noise (variance grows with the square of the wavelength). Candidates are
 * Ru / 12 = 416.7 mm apart, so the two raw distances may disagree by up to
 * 208 mm before unwrapping goes wrong. The rated range in dual mode is
 * 4500 mm. Amplitude is the mean and confidence the lower of the two
 * frequencies.
 *
 * A pixel is invalid (depth 0 and confidence 0, amplitude as measured) when
 * any of its phase samples is clipped (0 or 4095), its amplitude is below
 * MinAmplitude, or its depth lies outside [ValidDistMin, ValidDistMax].
 *
 * Frequency mode
 * --------------
 * A new instance is in single-frequency mode. SiSDKIsSingleFreq and
 * SiSDKSetSingleFreq work right after SiSDKCreate and may be called from any
 * thread, also while SiSDKGetPhaseImage runs on another one: each frame is
 * decoded in the mode read once at its start.
 *
 * Configuration text (SiSDKSetConfig)
 * -----------------------------------
 * Settings "key=value", separated by line feeds or ';'. Blank entries and
 * entries starting with "//" or "#" are skipped; spaces around key and value
 * are ignored. Keys (defaults in brackets, restored by every SiSDKInit):
 *   MinAmplitude  float >= 0, sample units [4]
 *   ValidDistMin  float >= 0, millimetres  [0]
 *   ValidDistMax  float > ValidDistMin, mm [7000]
 * An unknown key or a malformed value rejects the whole text (result 0,
 * a line on standard error), leaving the settings as they were.
 *
 * Calibration (SiSDKSetCaliData)
 * ------------------------------
 * The engine keeps the caller's pointer (no copy): the bytes must stay valid
 * until the next SiSDKSetCaliData or SiSDKDestroy. Calibration survives
 * SiSDKInit. A blob that starts with the 4 bytes "SI4C" is applied; it is
 * little-endian, at these byte offsets:
 *   0  "SI4C"
 *   4  uint16 version, 1
 *   6  uint16 reserved, 0
 *   8  int32  distance offset of frequency 0, micrometres
 *  12  int32  distance offset of frequency 1, micrometres
 * (16 bytes; longer blobs are allowed, the rest is ignored). Each offset is
 * subtracted from the raw distance of its frequency before unwrapping. A blob
 * with the marker but a wrong version or fewer than 16 bytes makes SiSDKStart
 * fail: the engine refuses to run on a corrupt calibration. A blob without
 * the marker is kept but not applied; no calibration means zero offsets.
 *
 * Life cycle
 * ----------
 * SiSDKCreate -> [SiSDKSetSingleFreq] -> SiSDKInit(W, H) -> [SiSDKSetCaliData]
 * -> [SiSDKSetConfig] -> SiSDKStart -> SiSDKGetPhaseImage ... ; SiSDKInit
 * and SiSDKStart may be repeated on the same instance (a new run). W is 320
 * or 640 and H is 240 or 480, in any combination.
 */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct SiSDKInstance* SiSDKHandle;

#define SI4C_SPEED_OF_LIGHT_MPS 299792458.0
#define SI4C_FREQ1_HZ (SI4C_SPEED_OF_LIGHT_MPS / 2.5)
#define SI4C_FREQ2_HZ (SI4C_FREQ1_HZ * 0.75)
#define SI4C_RANGE1_MM 1250.0
#define SI4C_RANGE2_MM (SI4C_RANGE1_MM * 4.0 / 3.0)
#define SI4C_UNAMBIGUOUS_DUAL_MM 5000.0
#define SI4C_RATED_DUAL_MM 4500.0
#define SI4C_SUBFRAMES_PER_FREQ 5
#define SI4C_SAMPLE_MAX 4095
#define SI4C_EMBEDDED_MARKER 0x5C4

/* Creates an instance (single-frequency mode) and stores it in *handle. */
int SiSDKCreate(SiSDKHandle* handle);
/* Prepares a run at a depth size of width x height; resets the settings of
 * SiSDKSetConfig to their defaults; the instance must be started again. */
int SiSDKInit(SiSDKHandle handle, int width, int height);
/* Keeps the calibration bytes (not a copy); null or 0 bytes clears them. */
int SiSDKSetCaliData(SiSDKHandle handle, const void* data, size_t length);
/* Applies a configuration text (see above). */
int SiSDKSetConfig(SiSDKHandle handle, const char* text);
/* Starts decoding after SiSDKInit; fails on a corrupt calibration. */
int SiSDKStart(SiSDKHandle handle);
/* 1 in single-frequency mode, 0 in dual-frequency mode (and for null). */
int SiSDKIsSingleFreq(SiSDKHandle handle);
/* 1 switches single-frequency mode on, 0 switches it off. */
int SiSDKSetSingleFreq(SiSDKHandle handle, int single);
/* Decodes one raw frame of the current mode's layout into the three planes
 * of width x height floats each; on failure the planes are left untouched. */
int SiSDKGetPhaseImage(SiSDKHandle handle, const unsigned char* raw, float* depth,
                       float* amplitude, float* confidence);
/* Destroys the instance and sets *handle to null. */
int SiSDKDestroy(SiSDKHandle* handle);

/* What an instance was told, for tests of its callers. Pointers stay valid
 * until the next call that changes them. Not part of a vendor's build. */
typedef struct SiSDKDebugState {
    int initCount;
    int caliCount;
    int configCount;
    int startCount;
    int width;
    int height;
    int started;
    const void* calibration;
    size_t calibrationLength;
    const char* lastConfig; /* last text given to SiSDKSetConfig, or "" */
} SiSDKDebugState;
int SiSDKDebugGetState(SiSDKHandle handle, SiSDKDebugState* state);

#ifdef __cplusplus
}
#endif
