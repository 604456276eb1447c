// Win32, the DLL only: gives back the TLS slot when the DLL is unloaded, so that a program
// may load and unload it any number of times. Not when the process is ending (`reserved`
// set): the system takes everything back then.
#include <windows.h>

#include "client/win32/thread_error.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved == NULL) client::FreeThreadErrorSlot();
  return TRUE;
}
