#include "versioninfo.h"
// Placeholder until the reader lands.
namespace winver {
static thread_local DWORD lastError = 0;
DWORD GetModuleFileName(void *, wchar_t *, DWORD) { lastError = ERROR_INVALID_PARAMETER; return 0; }
DWORD GetFileVersionInfoSize(const wchar_t *, DWORD *) { lastError = ERROR_FILE_NOT_FOUND; return 0; }
BOOL GetFileVersionInfo(const wchar_t *, DWORD, DWORD, void *) { return 0; }
BOOL VerQueryValue(const void *, const wchar_t *, void **, UINT *) { return 0; }
DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }
}
