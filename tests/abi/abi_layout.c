/* Compiled with -m32 by CTest: the header's static_asserts prove the 32-bit layout.
 * A few extra checks of the records the header does not assert field by field. */
#include "kiv/plugin_abi.h"

#if __SIZEOF_POINTER__ != 4
#error "this check is meant to be compiled for a 32-bit target"
#endif

KIV_STATIC_ASSERT(sizeof(HostHeaderPair) * 2 == 16, "header pairs are two words");
KIV_STATIC_ASSERT(offsetof(HostResponse, body) == 0, "response body first");
KIV_STATIC_ASSERT(offsetof(ApiTable, types) == 8 && offsetof(ApiTable, events) == 16,
                  "api table words");
KIV_STATIC_ASSERT(offsetof(PluginCallbacks, GetMemoryStats) == 8, "third callback");
