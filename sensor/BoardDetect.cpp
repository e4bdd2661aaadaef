#include "sensor/BoardKind.h"

#include <cstring>

#include "sensor/KernelAccess.h"

namespace Quorvex {

namespace {

constexpr const char* kModelPath = "/sys/firmware/devicetree/base/model";
// Only the first 99 characters of the model take part in the search.
constexpr size_t kModelBuffer = 100;

bool has(const char* text, const char* word)
{
    return std::strstr(text, word) != nullptr;
}

} // namespace

BoardKind detectBoard()
{
    char model[kModelBuffer];
    if (readFileLine(kModelPath, model, sizeof model) < 0)
        return BOARD_UNKNOWN;
    // The file holds one NUL-terminated string; strstr stops at that NUL,
    // so anything after it (or after the first line) is ignored.
    if (has(model, "Jetson")) {
        if (has(model, "Xavier"))
            return BOARD_JETSON;
        if (has(model, "TX1") || has(model, "Nano"))
            return BOARD_JETSON_TX1_NANO;
        return BOARD_JETSON;
    }
    // Orin modules do not always say "Jetson". The leading space is part of
    // the match: a model text that starts with "Orin" is not recognised.
    if (has(model, " Orin"))
        return BOARD_JETSON;
    if (has(model, "Raspberry"))
        return has(model, "Pi 5") ? BOARD_RASPBERRY_PI_5 : BOARD_RASPBERRY_PI;
    if (has(model, "Radxa ROCK"))
        return BOARD_RADXA_ROCK;
    return BOARD_UNKNOWN;
}

} // namespace Quorvex
