/* A vendor's VGA depth library as the core sees it: the interface's nine
 * functions and nothing else. Each records its call and answers failure
 * (0), as an engine that cannot run on this machine would. Built once more
 * with FAKE_SI4C_OLD: a release that lacks SiSDKGetPhaseImage. */
#include "fake_record.h"
#include "vendor/libsi4c/si4c.h"

#define REFUSE(name, params) \
    int name params          \
    {                        \
        fake_record(#name);  \
        return 0;            \
    }

REFUSE(SiSDKCreate, (SiSDKHandle * handle))
REFUSE(SiSDKInit, (SiSDKHandle handle, int width, int height))
REFUSE(SiSDKSetCaliData, (SiSDKHandle handle, const void* data, size_t length))
REFUSE(SiSDKSetConfig, (SiSDKHandle handle, const char* text))
REFUSE(SiSDKStart, (SiSDKHandle handle))
REFUSE(SiSDKIsSingleFreq, (SiSDKHandle handle))
REFUSE(SiSDKSetSingleFreq, (SiSDKHandle handle, int single))
#ifndef FAKE_SI4C_OLD
REFUSE(SiSDKGetPhaseImage, (SiSDKHandle handle, const unsigned char* raw, float* depth, float* amplitude,
                            float* confidence))
#endif
REFUSE(SiSDKDestroy, (SiSDKHandle * handle))
