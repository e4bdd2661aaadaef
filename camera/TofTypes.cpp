#include "TofTypes.h"

namespace Quorvex {

const char* to_str(TofErrorCode code)
{
    // Switch over the underlying integer: a value cast from outside the
    // enumeration must still land on the default branch.
    switch (static_cast<int32_t>(code)) {
    case QuorvexSuccess:
        return "Success";
    case QuorvexInvalidParameter:
        return "Invalid parameter";
    case QuorvexNoCache:
        return "No cache";
    case QuorvexUnkownDevice:
        return "Unkown device";
    case QuorvexNotImplemented:
        return "Not implemented";
    case QuorvexSkipFrame:
        return "Skip frame";
    case QuorvexSystemError:
        return "System error";
    default:
        return "Unknown error";
    }
}

} // namespace Quorvex
