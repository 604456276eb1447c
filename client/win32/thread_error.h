// Win32 only: the TLS slot behind tobrin_last_error, which the DLL gives back when it is
// unloaded.
#pragma once

namespace client {

/// Frees the slot, if one was taken; later calls take a new one.
void FreeThreadErrorSlot();

}  // namespace client
