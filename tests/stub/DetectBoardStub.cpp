// Board detection is built separately. Until the library carries it, the
// tests link this stand-in; a definition in the library takes precedence.
#include "sensor/BoardKind.h"

namespace Quorvex {

__attribute__((weak)) BoardKind detectBoard()
{
    return BOARD_UNKNOWN;
}

} // namespace Quorvex
