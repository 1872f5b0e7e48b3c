// libFuzzer target for the version-resource reader: every input is read both as an
// executable image and as a bare version block, and every value found is checked to
// lie inside the block it came from.

#include "versioninfo.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

const wchar_t *const kPaths[] = {
    L"\\",
    L"\\VarFileInfo\\Translation",
    L"\\StringFileInfo\\080704b0\\ProductName",
    L"\\StringFileInfo\\080704b0\\ProductVersion",
    L"\\StringFileInfo\\040904B0\\productversion",
    L"\\StringFileInfo",
    L"\\\\StringFileInfo\\\\080704b0\\",
    L"\\StringFileInfo\\080704b0\\ProductVersion\\deeper",
};

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// Queries every path and checks what comes back against the block's bounds.
void queryAll(const unsigned char *block, std::size_t blockSize, bool trustRoot)
{
    for (const wchar_t *path : kPaths) {
        void *value = nullptr;
        winver::UINT length = 0;
        const winver::BOOL found = trustRoot
            ? winver::VerQueryValue(block, path, &value, &length)
            : winver::VerQueryValueInBlock(block, blockSize, path, &value, &length);
        if (!found)
            continue;
        const auto *p = static_cast<const unsigned char *>(value);
        check(p >= block && p <= block + blockSize);
        const std::size_t room = std::size_t(block + blockSize - p);
        // A text value ends in its first zero at the reported length; any other value
        // is that many bytes. Either way it lies inside the block.
        bool text = length > 0 && std::size_t(length) * 2 <= room;
        for (std::size_t i = 0; text && i < length; ++i) {
            char16_t c;
            std::memcpy(&c, p + 2 * i, 2);
            text = (c == 0) == (i + 1 == length);
        }
        if (!text)
            check(length <= room);
    }
}

// Queries a copy of exactly size bytes, so that a read past them is caught.
void queryCopy(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return;
    std::unique_ptr<unsigned char[]> copy(new unsigned char[size]);
    std::memcpy(copy.get(), data, size);
    queryAll(copy.get(), size, false);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // As an executable image.
    const winver::DWORD blockSize = winver::GetFileVersionInfoSizeFromImage(data, size);
    if (blockSize > 0) {
        check(blockSize <= 0xffff);
        // Exactly the reported size, on the heap, so any read past it is caught.
        std::unique_ptr<unsigned char[]> block(new unsigned char[blockSize]);
        if (winver::GetFileVersionInfoFromImage(data, size, blockSize, block.get())) {
            const std::size_t rootLength = std::size_t(block[0] | (block[1] << 8));
            check(rootLength <= blockSize);
            queryAll(block.get(), blockSize, true);
        }
        // One byte short must be refused, never cut.
        std::unique_ptr<unsigned char[]> small(new unsigned char[blockSize - 1]);
        check(!winver::GetFileVersionInfoFromImage(data, size, blockSize - 1, small.get()));
    }

    // As a bare version block whose root length is not trusted: the input itself, and
    // the rest of the input from the first root key on, so that mutations of whole
    // executables reach the block walker even when their headers no longer parse.
    std::size_t start = 0;
    static const unsigned char rootKey[] = {'V', 0, 'S', 0, '_', 0, 'V', 0, 'E', 0, 'R', 0};
    for (std::size_t i = 6; i + sizeof rootKey <= size; i += 2) {
        if (std::memcmp(data + i, rootKey, sizeof rootKey) == 0) {
            start = i - 6;
            break;
        }
    }
    queryCopy(data, size);
    if (start > 0)
        queryCopy(data + start, size - start);
    return 0;
}
