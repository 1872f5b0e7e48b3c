#pragma once
// Version resources of PE executables (PE32 and PE32+, any machine type), offered
// through functions shaped like the platform calls the installer was written against:
// module file name, size and copy of the version block, the value query inside a
// block, and a last-error code with the platform's error numbers.
//
// Every read is bounds-checked against the file and the block: malformed, truncated
// or hostile files make the calls fail with an error code, never read past the data.

#include <cstddef>
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
    ERROR_TOO_MANY_OPEN_FILES = 4,
    ERROR_ACCESS_DENIED = 5,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_INVALID_DATA = 13,
    ERROR_READ_FAULT = 30,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_INVALID_NAME = 123,
    ERROR_BAD_EXE_FORMAT = 193,
    ERROR_FILENAME_EXCED_RANGE = 206,
    ERROR_RESOURCE_DATA_NOT_FOUND = 1812,
    ERROR_RESOURCE_TYPE_NOT_FOUND = 1813,
    ERROR_RESOURCE_NAME_NOT_FOUND = 1814,
    ERROR_RESOURCE_LANG_NOT_FOUND = 1815,
};

// Path of the running program. Writes at most size characters including the
// terminating zero; returns the length without it, or 0 on failure. Only the null
// module (the program itself) is known. A name that does not fit is cut to size
// characters including the zero, and size is returned with ERROR_INSUFFICIENT_BUFFER
// as the last error, as the platform does.
DWORD GetModuleFileName(void *module, wchar_t *fileName, DWORD size);

// Size in bytes of the version block of the file, or 0 on failure.
// (The block is the root node of the first language of the first RT_VERSION resource;
// its own length field is checked against the resource, so it is at most 64 KiB.)
DWORD GetFileVersionInfoSize(const wchar_t *fileName, DWORD *handle);

// Copies the version block of the file into data (len bytes). Nonzero on success.
// A len smaller than the block fails with ERROR_INSUFFICIENT_BUFFER (the block is never
// cut short); bytes of data past the block are zeroed.
BOOL GetFileVersionInfo(const wchar_t *fileName, DWORD handle, DWORD len, void *data);

// Finds the value at subBlock ("\\StringFileInfo\\080704b0\\ProductVersion", or "\\"
// for the fixed file information) inside a block filled by GetFileVersionInfo. For
// text values *buffer points to UTF-16 text (char16_t) that is zero-terminated inside
// the block and *len is its length in characters including the terminating zero.
// Keys compare case-insensitively. Text that has no terminating zero inside its node
// fails the query (ERROR_INVALID_DATA); a text value of length 0 is the empty text.
// For other values *len counts bytes. Nonzero on success.
BOOL VerQueryValue(const void *block, const wchar_t *subBlock, void **buffer, UINT *len);

// The same two reads on an executable image already in memory (size bytes at image),
// for callers that hold the bytes themselves (tests, the fuzzer). Same results and
// error codes as the file calls.
DWORD GetFileVersionInfoSizeFromImage(const void *image, std::size_t size);
BOOL GetFileVersionInfoFromImage(const void *image, std::size_t size, DWORD len, void *data);

// VerQueryValue on a block of blockSize bytes that did not come from GetFileVersionInfo:
// the block's own root length is trusted only as far as blockSize. VerQueryValue itself
// trusts the root length, which GetFileVersionInfo guarantees to lie inside the copy.
BOOL VerQueryValueInBlock(const void *block, std::size_t blockSize, const wchar_t *subBlock,
                          void **buffer, UINT *len);

// Error code of the last failing call on this thread.
DWORD GetLastError();
void SetLastError(DWORD error);

} // namespace winver
