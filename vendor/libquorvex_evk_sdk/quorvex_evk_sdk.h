#pragma once

/*
 * quorvex_evk_sdk: camera library of the USB-attached depth module.
 *
 * This folder holds the open stand-in shipped with the driver: it simulates
 * a module on the USB bus (see README.md, "Simulated USB module", for its
 * configuration file). A vendor's build of the same interface is opened
 * instead, at run time, when the system has one. Functions return 0 on
 * success and a negative QUORVEX_EVK_* code on failure; none of them
 * dereferences a null handle.
 *
 * Records cross the interface at fixed byte offsets, on 32-bit and 64-bit
 * hosts alike; the structures below are packed so that the members sit
 * exactly there. Callers may equally read and write the bytes themselves.
 */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QUORVEX_EVK_API __attribute__((visibility("default")))
#define QUORVEX_EVK_PACKED __attribute__((packed))
#else
#define QUORVEX_EVK_API
#define QUORVEX_EVK_PACKED
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu
#define QUORVEX_EVK_POINTER_BYTES 4
#else
#define QUORVEX_EVK_POINTER_BYTES 8
#endif

typedef struct QuorvexEvkCamera* QuorvexCameraHandle;

enum {
    QUORVEX_EVK_OK = 0,
    QUORVEX_EVK_INVALID_ARGUMENT = -1,
    QUORVEX_EVK_BAD_CONFIGURATION = -2,
    QUORVEX_EVK_NO_DEVICE = -3,   /* module unplugged or not answering */
    QUORVEX_EVK_TIMEOUT = -4,
    QUORVEX_EVK_WRONG_STATE = -5, /* e.g. capture before start */
    QUORVEX_EVK_NO_BUFFER = -6    /* every image is held by the caller */
};

/* Open parameters, 20 bytes. QuorvexDefaultParam fills every byte. */
typedef struct QUORVEX_EVK_PACKED QuorvexOpenParam {
    const char* configPath;   /* 0: NUL-terminated path or null (no file) */
#if QUORVEX_EVK_POINTER_BYTES == 4
    uint8_t reserved0[4];     /* 4 */
#endif
    uint8_t configIsBinary;   /* 8: 1 for a ".bin" file */
    uint8_t reserved1[3];     /* 9 */
    uint32_t recordVersion;   /* 12: QUORVEX_EVK_PARAM_VERSION, set by QuorvexDefaultParam */
    uint32_t imageQueueDepth; /* 16: images the caller may hold at once, 1..16 */
} QuorvexOpenParam;

#define QUORVEX_EVK_PARAM_VERSION 0x51450001u

/* Camera configuration, 80 bytes, filled by QuorvexGetCameraConfig. */
typedef struct QuorvexCameraConfig {
    char model[32];             /* 0: NUL-terminated, e.g. "QVX-HQVGA-USB (simulated)" */
    char serial[16];            /* 32 */
    uint32_t framesPerSecond;   /* 48: 0 when unpaced */
    uint32_t modulationKHz;     /* 52: first modulation frequency */
    uint32_t imagesPerFrame;    /* 56: sub-frames per depth frame */
    uint32_t frequencyCount;    /* 60: 1 or 2 */
    uint32_t width;             /* 64 */
    uint32_t height;            /* 68: rows of one image */
    uint8_t bitWidth;           /* 72 */
    uint8_t bytesPerSample;     /* 73 */
    uint8_t reserved[6];        /* 74 */
} QuorvexCameraConfig;

/* One captured image, 48 bytes; valid until handed back, by value, to
 * QuorvexFreeImage. */
typedef struct QUORVEX_EVK_PACKED QuorvexImage {
    uint32_t frameNumber;   /* 0: depth frame the image belongs to */
    uint32_t imageIndex;    /* 4: sub-frame within it */
    uint64_t timestamp;     /* 8: milliseconds of the module's clock */
    uint32_t width;         /* 16 */
    uint32_t height;        /* 20 */
    uint32_t dataSize;      /* 24: bytes at data */
    const uint8_t* data;    /* 28: 4 bytes on 32-bit hosts, 8 on 64-bit */
    uint8_t reserved[20 - QUORVEX_EVK_POINTER_BYTES]; /* up to 48 */
} QuorvexImage;

#ifdef __cplusplus
static_assert(sizeof(QuorvexOpenParam) == 20, "open parameters are 20 bytes");
static_assert(offsetof(QuorvexOpenParam, configIsBinary) == 8, "binary flag at 8");
static_assert(sizeof(QuorvexCameraConfig) == 80, "camera configuration is 80 bytes");
static_assert(offsetof(QuorvexCameraConfig, width) == 64, "width at 64");
static_assert(offsetof(QuorvexCameraConfig, height) == 68, "height at 68");
static_assert(offsetof(QuorvexCameraConfig, bitWidth) == 72, "bit width at 72");
static_assert(sizeof(QuorvexImage) == 48, "image record is 48 bytes");
static_assert(offsetof(QuorvexImage, timestamp) == 8, "timestamp at 8");
static_assert(offsetof(QuorvexImage, dataSize) == 24, "data size at 24");
static_assert(offsetof(QuorvexImage, data) == 28, "data address at 28");
#endif

QUORVEX_EVK_API int QuorvexDefaultParam(QuorvexOpenParam* param);
/* Finds the module and applies the configuration file, if any; on success
 * *handle is the new camera. A bad configuration file is reported on
 * standard error (file, line, key) and fails with
 * QUORVEX_EVK_BAD_CONFIGURATION; nothing is opened then. */
QUORVEX_EVK_API int QuorvexOpenCamera(QuorvexCameraHandle* handle, QuorvexOpenParam* param);
QUORVEX_EVK_API int QuorvexInitCamera(QuorvexCameraHandle handle);
QUORVEX_EVK_API int QuorvexGetCameraConfig(QuorvexCameraHandle handle, QuorvexCameraConfig* config);
QUORVEX_EVK_API int QuorvexStartCamera(QuorvexCameraHandle handle);
QUORVEX_EVK_API int QuorvexStopCamera(QuorvexCameraHandle handle);
/* Releases the camera and every image still held; the handle is gone. */
QUORVEX_EVK_API int QuorvexCloseCamera(QuorvexCameraHandle handle);
/* Waits up to timeoutMs for the next image of the running stream. */
QUORVEX_EVK_API int QuorvexCaptureImage(QuorvexCameraHandle handle, QuorvexImage* image,
                                        uint32_t timeoutMs);
QUORVEX_EVK_API int QuorvexFreeImage(QuorvexCameraHandle handle, QuorvexImage image);
/* Safe to call while another thread waits in QuorvexCaptureImage. */
QUORVEX_EVK_API int QuorvexWriteSensorReg(QuorvexCameraHandle handle, uint32_t reg, uint32_t value);

/*
 * Queries of the simulated module, for tests of its callers. Not part of a
 * vendor's build: users see QUORVEX_EVK_SDK_STANDIN defined when they link
 * the stand-in.
 */
typedef struct QuorvexRegisterWrite {
    uint32_t reg;
    uint32_t value;
} QuorvexRegisterWrite;

typedef struct QuorvexDebugState {
    uint32_t captureCalls;    /* QuorvexCaptureImage calls since open */
    uint32_t imagesDelivered; /* of them, those that returned an image */
    uint32_t imagesHeld;      /* delivered and not yet freed */
    uint32_t framesRendered;
    uint32_t registerWrites;
    int32_t initialised;
    int32_t streaming;
} QuorvexDebugState;

QUORVEX_EVK_API int QuorvexDebugGetState(QuorvexCameraHandle handle, QuorvexDebugState* state);
/* Copies up to `capacity` register writes, oldest first, into `writes` and
 * returns how many were recorded in all (or a negative code). */
QUORVEX_EVK_API int QuorvexDebugGetRegisterWrites(QuorvexCameraHandle handle,
                                                  QuorvexRegisterWrite* writes, uint32_t capacity);
/* The open parameters exactly as the last QuorvexOpenCamera of this process
 * received them (successful or not); the path pointer is the caller's. */
QUORVEX_EVK_API int QuorvexDebugLastOpenParam(QuorvexOpenParam* param);
/* The camera the last successful QuorvexOpenCamera of this process made
 * (it may have been closed since). */
QUORVEX_EVK_API QuorvexCameraHandle QuorvexDebugLastCamera(void);
/* Cameras open in this process. */
QUORVEX_EVK_API int QuorvexDebugOpenCameras(void);
/* Ground truth of the scene the configuration file at `configPath` (null:
 * the default module) shows in depth frame `frameNumber` (the images'
 * frameNumber), taken from the scene's geometry, never from the sensor
 * model: for each pixel of the depth image (width x height, row-major) the
 * radial distance in mm from the camera centre to the surface on the pixel's
 * centre ray (0: none), and the fraction 0..1 of the pixel's area on which
 * that same object shows. A moving scene is given where it is when the
 * frame's first image is taken. `depthMm` or `coverage` may be null;
 * `pixels` must be width x height. Returns the pixel count, or
 * QUORVEX_EVK_BAD_CONFIGURATION (reported on standard error; also for the
 * pattern, which has no scene) or QUORVEX_EVK_INVALID_ARGUMENT. */
QUORVEX_EVK_API int QuorvexDebugGroundTruth(const char* configPath, uint32_t frameNumber, float* depthMm,
                                            float* coverage, uint32_t pixels);

#ifdef __cplusplus
}
#endif
