// The DDK header as every file of the driver includes it.
#pragma once

// In C++ the DDK header and the compiler's intrinsics both define these two;
// keep the DDK's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// Below the Vista API level the DDK header tests NTDDI_WINVISTA, which the
// SDK never defines, and then uses a Vista-only type: give it the real value.
#include <sdkddkver.h>
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA NTDDI_VISTA
#endif
#include <ddk/wdm.h>
