#pragma once
// Version resources of PE executables (PE32 and PE32+, any machine type), offered
// through functions shaped like the platform calls the installer was written against:
// module file name, size and copy of the version block, the value query inside a
// block, and a last-error code with the platform's error numbers.
//
// Every read is bounds-checked against the file and the block: malformed, truncated
// or hostile files make the calls fail with an error code, never read past the data.

#include <cstdint>

namespace winver {

using DWORD = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;

// Error numbers, as the platform reports them.
enum : DWORD {
    ERROR_SUCCESS = 0,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_PATH_NOT_FOUND = 3,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_DATA = 13,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_BAD_EXE_FORMAT = 193,
    ERROR_FILENAME_EXCED_RANGE = 206,
    ERROR_RESOURCE_DATA_NOT_FOUND = 1812,
    ERROR_RESOURCE_TYPE_NOT_FOUND = 1813,
    ERROR_RESOURCE_NAME_NOT_FOUND = 1814,
    ERROR_RESOURCE_LANG_NOT_FOUND = 1815,
};

// Path of the running program. Writes at most size characters including the
// terminating zero; returns the length without it, or 0 on failure.
DWORD GetModuleFileName(void *module, wchar_t *fileName, DWORD size);

// Size in bytes of the version block of the file, or 0 on failure.
DWORD GetFileVersionInfoSize(const wchar_t *fileName, DWORD *handle);

// Copies the version block of the file into data (len bytes). Nonzero on success.
BOOL GetFileVersionInfo(const wchar_t *fileName, DWORD handle, DWORD len, void *data);

// Finds the value at subBlock ("\\StringFileInfo\\080704b0\\ProductVersion", or "\\"
// for the fixed file information) inside a block filled by GetFileVersionInfo. For
// text values *buffer points to UTF-16 text (char16_t) that is zero-terminated inside
// the block and *len is its length in characters including the terminating zero.
// Nonzero on success.
BOOL VerQueryValue(const void *block, const wchar_t *subBlock, void **buffer, UINT *len);

// Error code of the last failing call on this thread.
DWORD GetLastError();
void SetLastError(DWORD error);

} // namespace winver
