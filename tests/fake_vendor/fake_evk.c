/* A vendor's USB library as the core sees it: every function answers that no
 * module is there and appends its name to $FAKE_VENDOR_LOG. */
#include <stdio.h>
#include <stdlib.h>

static void record(const char* name)
{
    const char* path = getenv("FAKE_VENDOR_LOG");
    FILE* f = path ? fopen(path, "a") : NULL;
    if (f) {
        fprintf(f, "%s\n", name);
        fclose(f);
    }
}

#define FAIL(name) int name() { record(#name); return -3; }
FAIL(QuorvexDefaultParam)
FAIL(QuorvexOpenCamera)
FAIL(QuorvexInitCamera)
FAIL(QuorvexGetCameraConfig)
FAIL(QuorvexStartCamera)
FAIL(QuorvexStopCamera)
FAIL(QuorvexCloseCamera)
FAIL(QuorvexCaptureImage)
FAIL(QuorvexFreeImage)
FAIL(QuorvexWriteSensorReg)
