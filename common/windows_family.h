#pragma once

#include <windows.h>

namespace qel {

// Windows 95, 98 and Me set the high bit of GetVersion(); the NT family
// leaves it clear.
inline bool IsWindows9xFamily()
{
    return (GetVersion() & 0x80000000u) != 0;
}

} // namespace qel
