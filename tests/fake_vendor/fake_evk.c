/* A vendor's USB library as the core sees it: the interface's ten functions
 * and nothing else (none of the stand-in's debug queries). Each records its
 * call; it then answers that no module is there or, when $FAKE_VENDOR_FORWARD
 * names another build of the library, passes the call on to that one. The
 * second way gives tests a USB module that streams through a library the
 * core takes for the vendor's, as QUORVEX_SIMULATED=0 demands. */
#include <dlfcn.h>
#include <stdlib.h>

#include "fake_record.h"
#include "vendor/libquorvex_evk_sdk/quorvex_evk_sdk.h"

static void* forwarded(const char* name)
{
    /* Opened by the first call, which is the open of the camera, before any
     * thread of the library runs. */
    static void* target;
    const char* path = getenv("FAKE_VENDOR_FORWARD");
    if (!path || !*path)
        return NULL;
    if (!target)
        target = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    return target ? dlsym(target, name) : NULL;
}

#define ENTRY(name, params, args)                                    \
    int name params                                                  \
    {                                                                \
        int(*next) params = (int(*) params)forwarded(#name);         \
        fake_record(#name);                                          \
        return next ? next args : QUORVEX_EVK_NO_DEVICE;             \
    }

ENTRY(QuorvexDefaultParam, (QuorvexOpenParam * param), (param))
ENTRY(QuorvexOpenCamera, (QuorvexCameraHandle * handle, QuorvexOpenParam* param), (handle, param))
ENTRY(QuorvexInitCamera, (QuorvexCameraHandle handle), (handle))
ENTRY(QuorvexGetCameraConfig, (QuorvexCameraHandle handle, QuorvexCameraConfig* config), (handle, config))
ENTRY(QuorvexStartCamera, (QuorvexCameraHandle handle), (handle))
ENTRY(QuorvexStopCamera, (QuorvexCameraHandle handle), (handle))
ENTRY(QuorvexCloseCamera, (QuorvexCameraHandle handle), (handle))
ENTRY(QuorvexCaptureImage, (QuorvexCameraHandle handle, QuorvexImage* image, uint32_t timeoutMs),
      (handle, image, timeoutMs))
ENTRY(QuorvexFreeImage, (QuorvexCameraHandle handle, QuorvexImage image), (handle, image))
ENTRY(QuorvexWriteSensorReg, (QuorvexCameraHandle handle, uint32_t reg, uint32_t value), (handle, reg, value))
