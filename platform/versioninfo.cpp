#include "versioninfo.h"

// Kept free of Qt so that the fuzz target can compile this file on its own.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winver {

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

// Limits that no sound executable comes near; beyond them the bytes are hostile.
constexpr std::size_t kMaxPathChars = 32767; // the platform's longest path
constexpr std::uint32_t kMaxDirectoryEntries = 4096;
constexpr std::uint16_t kRtVersion = 16;
constexpr std::uint32_t kHighBit = 0x80000000u;
constexpr std::size_t kNodeHeader = 6; // wLength, wValueLength, wType
constexpr std::uint16_t kTextValue = 1;

std::uint16_t le16(const unsigned char *p)
{
    return std::uint16_t(p[0] | (p[1] << 8));
}

std::uint32_t le32(const unsigned char *p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16)
        | (std::uint32_t(p[3]) << 24);
}

std::size_t align4(std::size_t offset)
{
    return (offset + 3) & ~std::size_t(3);
}

// ---------------------------------------------------------------------------------
// Byte sources: the parser asks for ranges and gets all of them or nothing.

class Source
{
public:
    virtual ~Source() = default;
    virtual bool read(std::uint64_t offset, void *out, std::size_t count) const = 0;
    virtual std::uint64_t size() const = 0;
    // Set when a read failed for a reason other than the range lying outside the data.
    virtual bool ioFailed() const { return false; }
};

class MemorySource final : public Source
{
public:
    MemorySource(const void *data, std::size_t size)
        : m_data(static_cast<const unsigned char *>(data))
        , m_size(size)
    {
    }

    bool read(std::uint64_t offset, void *out, std::size_t count) const override
    {
        if (offset > m_size || count > m_size - offset)
            return false;
        if (count)
            std::memcpy(out, m_data + offset, count);
        return true;
    }

    std::uint64_t size() const override { return m_size; }

private:
    const unsigned char *m_data = nullptr;
    std::size_t m_size = 0;
};

// Reads ranges of an open file on demand, so a huge file costs no more memory than
// the few structures the parser looks at.
class FileSource final : public Source
{
public:
    FileSource(int fd, std::uint64_t size)
        : m_fd(fd)
        , m_size(size)
    {
    }
    ~FileSource() override { ::close(m_fd); }
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;

    bool read(std::uint64_t offset, void *out, std::size_t count) const override
    {
        if (offset > m_size || count > m_size - offset
            || offset + count > std::uint64_t(std::numeric_limits<off_t>::max()))
            return false;
        auto *dest = static_cast<unsigned char *>(out);
        while (count > 0) {
            const ssize_t got = ::pread(m_fd, dest, count, off_t(offset));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                // A file that shrank under us, or an I/O error.
                m_ioFailed = got < 0;
                return false;
            }
            dest += got;
            offset += std::uint64_t(got);
            count -= std::size_t(got);
        }
        return true;
    }

    bool ioFailed() const override { return m_ioFailed; }
    std::uint64_t size() const override { return m_size; }

private:
    int m_fd = -1;
    std::uint64_t m_size = 0;
    mutable bool m_ioFailed = false;
};

// ---------------------------------------------------------------------------------
// The PE image: headers, section table and reads by relative virtual address.

struct Section
{
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualSize = 0;
    std::uint32_t rawSize = 0;
    std::uint32_t rawPointer = 0;
};

class Image
{
public:
    explicit Image(const Source &source)
        : m_source(source)
    {
    }

    // Reads the headers; returns ERROR_SUCCESS or the error of the first fault.
    DWORD load();

    // Copies count bytes at rva. The range must lie in one section (or in the headers);
    // the part of a section past its raw data reads as zeros, as when it is mapped.
    bool readRva(std::uint32_t rva, void *out, std::size_t count) const;

    std::uint32_t resourceRva() const { return m_resourceRva; }
    std::uint32_t resourceSize() const { return m_resourceSize; }

private:
    const Source &m_source;
    std::vector<Section> m_sections;
    std::uint32_t m_sizeOfHeaders = 0;
    std::uint32_t m_resourceRva = 0;
    std::uint32_t m_resourceSize = 0;
};

DWORD Image::load()
{
    unsigned char dos[64];
    if (!m_source.read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
        return ERROR_BAD_EXE_FORMAT;
    const std::uint64_t peOffset = le32(dos + 0x3c);

    // Signature and COFF file header.
    unsigned char nt[24];
    if (!m_source.read(peOffset, nt, sizeof nt) || std::memcmp(nt, "PE\0\0", 4) != 0)
        return ERROR_BAD_EXE_FORMAT;
    const std::uint16_t sectionCount = le16(nt + 4 + 2);
    const std::uint16_t optionalSize = le16(nt + 4 + 16);

    // Optional header: PE32 and PE32+ differ in the width of a few fields before the
    // data directories, and so in where those start.
    const std::uint64_t optionalOffset = peOffset + sizeof nt;
    unsigned char optional[112 + 3 * 8] = {};
    const std::size_t wanted = std::min<std::size_t>(optionalSize, sizeof optional);
    if (wanted < 2 || !m_source.read(optionalOffset, optional, wanted))
        return ERROR_BAD_EXE_FORMAT;
    std::size_t directoriesAt = 0;
    switch (le16(optional)) {
    case 0x10b:
        directoriesAt = 96;
        break;
    case 0x20b:
        directoriesAt = 112;
        break;
    default:
        return ERROR_BAD_EXE_FORMAT;
    }
    if (optionalSize < directoriesAt)
        return ERROR_BAD_EXE_FORMAT;
    m_sizeOfHeaders = le32(optional + 60);
    const std::uint32_t directoryCount = le32(optional + directoriesAt - 4);
    const std::size_t resourceEntryAt = directoriesAt + std::size_t(2) * 8;
    if (directoryCount > 2 && optionalSize >= resourceEntryAt + 8) {
        m_resourceRva = le32(optional + resourceEntryAt);
        m_resourceSize = le32(optional + resourceEntryAt + 4);
    }

    // Section table, right after the optional header as its size field says. At most
    // 65535 entries of 40 bytes, and only read once it is known to fit in the file.
    const std::uint64_t tableOffset = optionalOffset + optionalSize;
    const std::uint64_t tableSize = std::uint64_t(sectionCount) * 40;
    if (tableOffset > m_source.size() || tableSize > m_source.size() - tableOffset)
        return ERROR_BAD_EXE_FORMAT;
    std::vector<unsigned char> table(tableSize);
    if (!table.empty() && !m_source.read(tableOffset, table.data(), table.size()))
        return ERROR_BAD_EXE_FORMAT;
    m_sections.reserve(sectionCount);
    for (std::size_t i = 0; i < sectionCount; ++i) {
        const unsigned char *entry = table.data() + i * 40;
        Section section;
        section.virtualSize = le32(entry + 8);
        section.virtualAddress = le32(entry + 12);
        section.rawSize = le32(entry + 16);
        section.rawPointer = le32(entry + 20);
        m_sections.push_back(section);
    }
    return ERROR_SUCCESS;
}

bool Image::readRva(std::uint32_t rva, void *out, std::size_t count) const
{
    for (const Section &section : m_sections) {
        // A section without a virtual size occupies its raw size, as the loader maps it.
        const std::uint64_t extent = section.virtualSize ? section.virtualSize : section.rawSize;
        if (rva < section.virtualAddress || rva - section.virtualAddress >= extent)
            continue;
        const std::uint64_t offset = rva - section.virtualAddress;
        if (count > extent - offset)
            return false;
        const std::uint64_t inFile = std::min<std::uint64_t>(section.rawSize, extent);
        const std::size_t fromFile
            = offset >= inFile ? 0 : std::size_t(std::min<std::uint64_t>(count, inFile - offset));
        auto *dest = static_cast<unsigned char *>(out);
        if (fromFile && !m_source.read(std::uint64_t(section.rawPointer) + offset, dest, fromFile))
            return false;
        std::fill(dest + fromFile, dest + count, 0);
        return true;
    }
    // Addresses below the end of the headers map onto the file's own start.
    if (std::uint64_t(rva) + count <= m_sizeOfHeaders)
        return m_source.read(rva, out, count);
    return false;
}

// ---------------------------------------------------------------------------------
// The resource tree: type, name and language directories above a data entry.

struct DirectoryEntry
{
    std::uint32_t name = 0;
    std::uint32_t offset = 0;
};

bool readDirectory(const Image &image, std::uint32_t offset, std::vector<DirectoryEntry> &entries,
                   DWORD &error)
{
    error = ERROR_BAD_EXE_FORMAT;
    const std::uint64_t rva = std::uint64_t(image.resourceRva()) + offset;
    unsigned char header[16];
    if (rva > std::numeric_limits<std::uint32_t>::max()
        || !image.readRva(std::uint32_t(rva), header, sizeof header))
        return false;
    const std::uint32_t count = std::uint32_t(le16(header + 12)) + le16(header + 14);
    if (count > kMaxDirectoryEntries)
        return false;
    const std::uint64_t entriesRva = rva + sizeof header;
    std::vector<unsigned char> raw(std::size_t(count) * 8);
    if (count
        && (entriesRva + raw.size() > std::numeric_limits<std::uint32_t>::max()
            || !image.readRva(std::uint32_t(entriesRva), raw.data(), raw.size())))
        return false;
    entries.clear();
    for (std::uint32_t i = 0; i < count; ++i)
        entries.push_back(
            {le32(raw.data() + std::size_t(i) * 8), le32(raw.data() + std::size_t(i) * 8 + 4)});
    return true;
}

// Finds the version block: its place and length. Every structure it passes is
// checked; the walk goes exactly three levels deep and refuses a directory that
// points back at one it came through.
DWORD findVersionBlock(const Image &image, std::uint32_t &blockRva, std::uint16_t &blockLength)
{
    if (image.resourceRva() == 0 || image.resourceSize() == 0)
        return ERROR_RESOURCE_DATA_NOT_FOUND;

    std::vector<DirectoryEntry> entries;
    DWORD error = ERROR_SUCCESS;
    std::uint32_t visited[3] = {0, 0, 0};

    if (!readDirectory(image, 0, entries, error))
        return error;
    const auto type = std::find_if(entries.begin(), entries.end(), [](const DirectoryEntry &e) {
        return !(e.name & kHighBit) && e.name == kRtVersion;
    });
    if (type == entries.end())
        return ERROR_RESOURCE_TYPE_NOT_FOUND;

    std::uint32_t next = type->offset;
    for (int level = 1; level <= 2; ++level) {
        if (!(next & kHighBit))
            return ERROR_BAD_EXE_FORMAT;
        const std::uint32_t dir = next & ~kHighBit;
        if (std::find(visited, visited + level, dir) != visited + level)
            return ERROR_BAD_EXE_FORMAT;
        visited[level] = dir;
        if (!readDirectory(image, dir, entries, error))
            return error;
        if (entries.empty())
            return level == 1 ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_LANG_NOT_FOUND;
        next = entries.front().offset;
    }
    if (next & kHighBit)
        return ERROR_BAD_EXE_FORMAT;

    // Data entry: address (an RVA, unlike the offsets above) and size of the data.
    unsigned char dataEntry[16];
    const std::uint64_t entryRva = std::uint64_t(image.resourceRva()) + next;
    if (entryRva > std::numeric_limits<std::uint32_t>::max()
        || !image.readRva(std::uint32_t(entryRva), dataEntry, sizeof dataEntry))
        return ERROR_BAD_EXE_FORMAT;
    const std::uint32_t dataRva = le32(dataEntry);
    const std::uint32_t dataSize = le32(dataEntry + 4);

    // The root node must fit the resource data and hold at least its header and an
    // (empty) key: VerQueryValue later trusts this length.
    unsigned char root[kNodeHeader];
    if (dataSize < kNodeHeader + 2)
        return ERROR_INVALID_DATA;
    if (!image.readRva(dataRva, root, sizeof root))
        return ERROR_BAD_EXE_FORMAT;
    const std::uint16_t length = le16(root);
    if (length < kNodeHeader + 2 || length > dataSize)
        return ERROR_INVALID_DATA;
    blockRva = dataRva;
    blockLength = length;
    return ERROR_SUCCESS;
}

// Loads the image and finds its version block; an I/O error outranks what it caused.
DWORD locateBlock(const Source &source, Image &image, std::uint32_t &rva, std::uint16_t &length)
{
    DWORD error = image.load();
    if (error == ERROR_SUCCESS)
        error = findVersionBlock(image, rva, length);
    if (error != ERROR_SUCCESS && source.ioFailed())
        error = ERROR_READ_FAULT;
    return error;
}

DWORD sizeFrom(const Source &source)
{
    Image image(source);
    std::uint32_t rva = 0;
    std::uint16_t length = 0;
    DWORD error = locateBlock(source, image, rva, length);
    if (error == ERROR_SUCCESS) {
        // A size is only promised for a block that can be read whole: a cut file
        // fails here rather than in the copy that follows.
        std::vector<unsigned char> block(length);
        if (!image.readRva(rva, block.data(), block.size()))
            error = source.ioFailed() ? DWORD(ERROR_READ_FAULT) : DWORD(ERROR_BAD_EXE_FORMAT);
    }
    if (error != ERROR_SUCCESS) {
        lastError = error;
        return 0;
    }
    return length;
}

BOOL copyFrom(const Source &source, DWORD len, void *data)
{
    if (!data) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    // Parsed afresh: the file may have changed since its size was asked for.
    Image image(source);
    std::uint32_t rva = 0;
    std::uint16_t length = 0;
    DWORD error = locateBlock(source, image, rva, length);
    if (error == ERROR_SUCCESS && length > len)
        error = ERROR_INSUFFICIENT_BUFFER;
    auto *dest = static_cast<unsigned char *>(data);
    if (error == ERROR_SUCCESS && !image.readRva(rva, dest, length))
        error = source.ioFailed() ? DWORD(ERROR_READ_FAULT) : DWORD(ERROR_BAD_EXE_FORMAT);
    if (error != ERROR_SUCCESS) {
        lastError = error;
        return 0;
    }
    // The copy may differ from what was checked if the file changed between the two
    // reads: check the root length again where VerQueryValue will find it.
    if (le16(dest) != length) {
        lastError = ERROR_INVALID_DATA;
        return 0;
    }
    std::fill(dest + length, dest + len, 0);
    return 1;
}

// ---------------------------------------------------------------------------------
// File names: wide (UTF-32 here) to the UTF-8 bytes the file system takes.

DWORD encodeFileName(const wchar_t *fileName, std::string &out)
{
    if (!fileName)
        return ERROR_INVALID_PARAMETER;
    out.clear();
    for (std::size_t i = 0; fileName[i] != 0; ++i) {
        if (i >= kMaxPathChars)
            return ERROR_FILENAME_EXCED_RANGE;
        // A wide character is UTF-32 here, not a byte; a negative one becomes a large value
        // and is refused.
        const std::int32_t wide = fileName[i]; // NOLINT(bugprone-signed-char-misuse)
        const auto c = std::uint32_t(wide);
        if (c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff))
            return ERROR_INVALID_NAME;
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xc0 | (c >> 6));
            out += char(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            out += char(0xe0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3f));
            out += char(0x80 | (c & 0x3f));
        } else {
            out += char(0xf0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3f));
            out += char(0x80 | ((c >> 6) & 0x3f));
            out += char(0x80 | (c & 0x3f));
        }
    }
    return out.empty() ? ERROR_PATH_NOT_FOUND : ERROR_SUCCESS;
}

// The platform tells a missing file in an existing folder from a missing folder.
DWORD missingError(const std::string &path)
{
    const std::size_t slash = path.find_last_of('/');
    const std::string parent = slash == std::string::npos ? std::string(".")
        : slash == 0                                      ? std::string("/")
                                                          : path.substr(0, slash);
    struct stat info = {};
    if (::stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

DWORD errorOfErrno(int code, const std::string &path)
{
    switch (code) {
    case ENOENT:
        return missingError(path);
    case ENOTDIR:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EIO:
        return ERROR_READ_FAULT;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

// Opens a regular file for reading. Never blocks on a FIFO or device: those are
// opened non-blocking and then refused, as the platform refuses non-files.
DWORD openFile(const wchar_t *fileName, int &fd, std::uint64_t &size)
{
    std::string path;
    const DWORD nameError = encodeFileName(fileName, path);
    if (nameError != ERROR_SUCCESS)
        return nameError;
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errorOfErrno(errno, path);
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        ::close(fd);
        fd = -1;
        return ERROR_ACCESS_DENIED;
    }
    size = std::uint64_t(info.st_size);
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------
// Nodes of the version block: WORD wLength, WORD wValueLength, WORD wType, a
// zero-terminated UTF-16 key, padding to 4 bytes, the value, padding, the children.
// Offsets count from the block start, which the padding is relative to.

struct Node
{
    std::size_t start = 0;
    std::size_t end = 0;    // clamped to the parent's end
    std::size_t keyEnd = 0; // just past the key's terminating zero
    std::size_t valueStart = 0;
    std::size_t childrenStart = 0;
    std::uint16_t valueLength = 0;
    std::uint16_t type = 0;
};

// Reads the node at start, which must lie inside [start, limit). False when the
// header or the key's terminating zero does not fit.
bool readNode(const unsigned char *block, std::size_t start, std::size_t limit, Node &node)
{
    if (start > limit || limit - start < kNodeHeader)
        return false;
    const std::uint16_t length = le16(block + start);
    if (length < kNodeHeader)
        return false;
    node.start = start;
    node.end = start + std::min<std::size_t>(length, limit - start);
    node.valueLength = le16(block + start + 2);
    node.type = le16(block + start + 4);
    std::size_t p = start + kNodeHeader;
    while (p + 2 <= node.end && le16(block + p) != 0)
        p += 2;
    if (p + 2 > node.end)
        return false;
    node.keyEnd = p + 2;
    node.valueStart = align4(node.keyEnd);
    // Text lengths count UTF-16 characters, other values bytes.
    const std::size_t valueBytes
        = node.type == kTextValue ? std::size_t(node.valueLength) * 2 : node.valueLength;
    node.childrenStart = align4(node.valueStart + valueBytes);
    return true;
}

char16_t foldCase(char16_t c)
{
    // The platform compares keys without regard to case; ASCII and Latin-1 letters
    // cover every key a version block uses.
    if ((c >= u'a' && c <= u'z') || (c >= 0xe0 && c <= 0xfe && c != 0xf7))
        return char16_t(c - 0x20);
    return c;
}

bool keyEquals(const unsigned char *block, const Node &node, const std::u16string &key)
{
    const std::size_t chars = (node.keyEnd - 2 - (node.start + kNodeHeader)) / 2;
    if (chars != key.size())
        return false;
    for (std::size_t i = 0; i < chars; ++i) {
        if (foldCase(char16_t(le16(block + node.start + kNodeHeader + 2 * i))) != foldCase(key[i]))
            return false;
    }
    return true;
}

// Splits "\\StringFileInfo\\080704b0\\ProductVersion" into UTF-16 keys; empty
// parts (leading, doubled or trailing backslashes) are skipped.
bool splitPath(const wchar_t *subBlock, std::vector<std::u16string> &keys)
{
    std::u16string part;
    for (std::size_t i = 0;; ++i) {
        if (i > kMaxPathChars)
            return false;
        const std::int32_t wide = subBlock[i]; // NOLINT(bugprone-signed-char-misuse)
        const auto c = std::uint32_t(wide);
        if (c == 0 || c == '\\') {
            if (!part.empty())
                keys.push_back(part);
            part.clear();
            if (c == 0)
                return true;
        } else if (c < 0x10000) {
            part += char16_t(c);
        } else if (c <= 0x10ffff) {
            part += char16_t(0xd800 + ((c - 0x10000) >> 10));
            part += char16_t(0xdc00 + ((c - 0x10000) & 0x3ff));
        } else {
            return false;
        }
    }
}

BOOL queryFail(DWORD error)
{
    lastError = error;
    return 0;
}

} // namespace

// -------------------------------------------------------------------------------------

DWORD GetModuleFileName(void *module, wchar_t *fileName, DWORD size)
{
    // Only the running program itself is known here.
    if (module || (!fileName && size)) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    std::string path(256, '\0');
    for (;;) {
        const ssize_t got = ::readlink("/proc/self/exe", &path[0], path.size());
        if (got < 0) {
            lastError = errno == ENOENT ? DWORD(ERROR_FILE_NOT_FOUND) : DWORD(ERROR_ACCESS_DENIED);
            return 0;
        }
        if (std::size_t(got) < path.size()) {
            path.resize(std::size_t(got));
            break;
        }
        if (path.size() >= 65536) {
            lastError = ERROR_FILENAME_EXCED_RANGE;
            return 0;
        }
        path.resize(path.size() * 2);
    }

    // UTF-8 to UTF-32; a byte that does not decode becomes U+FFFD.
    std::wstring wide;
    for (std::size_t i = 0; i < path.size();) {
        const auto b = static_cast<unsigned char>(path[i]);
        std::uint32_t c = 0xfffd;
        std::size_t n = 1;
        if (b < 0x80) {
            c = b;
        } else {
            const std::size_t need = (b & 0xe0) == 0xc0 ? 2
                : (b & 0xf0) == 0xe0                    ? 3
                : (b & 0xf8) == 0xf0                    ? 4
                                                        : 0;
            if (need && i + need <= path.size()) {
                std::uint32_t v = b & (0x7f >> need);
                bool ok = true;
                for (std::size_t k = 1; k < need && ok; ++k) {
                    const auto t = static_cast<unsigned char>(path[i + k]);
                    ok = (t & 0xc0) == 0x80;
                    v = (v << 6) | (t & 0x3f);
                }
                const std::uint32_t least = need == 2 ? 0x80 : need == 3 ? 0x800 : 0x10000;
                if (ok && v >= least && v <= 0x10ffff && !(v >= 0xd800 && v <= 0xdfff)) {
                    c = v;
                    n = need;
                }
            }
        }
        wide += wchar_t(c);
        i += n;
    }

    if (size == 0) {
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    if (wide.size() < size) {
        std::copy(wide.begin(), wide.end(), fileName);
        fileName[wide.size()] = 0;
        return DWORD(wide.size());
    }
    // Too small: the name is cut to size characters including the terminating zero,
    // the full size is returned and the error says why.
    std::copy(wide.begin(), wide.begin() + (size - 1), fileName);
    fileName[size - 1] = 0;
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return size;
}

// Runs read on the opened file; a file that cannot be opened, or memory that runs out,
// sets the error and gives 0.
template <typename Read>
DWORD readFile(const wchar_t *fileName, Read read)
{
    int fd = -1;
    std::uint64_t size = 0;
    const DWORD error = openFile(fileName, fd, size);
    if (error != ERROR_SUCCESS) {
        lastError = error;
        return 0;
    }
    try {
        const FileSource source(fd, size);
        return read(source);
    } catch (const std::bad_alloc &) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
}

DWORD GetFileVersionInfoSize(const wchar_t *fileName, DWORD *handle)
{
    if (handle)
        *handle = 0;
    return readFile(fileName, [](const FileSource &source) { return sizeFrom(source); });
}

BOOL GetFileVersionInfo(const wchar_t *fileName, DWORD, DWORD len, void *data)
{
    return readFile(fileName, [len, data](const FileSource &source) {
        return DWORD(copyFrom(source, len, data));
    });
}

DWORD GetFileVersionInfoSizeFromImage(const void *image, std::size_t size)
{
    if (!image && size) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    try {
        return sizeFrom(MemorySource(image, size));
    } catch (const std::bad_alloc &) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
}

BOOL GetFileVersionInfoFromImage(const void *image, std::size_t size, DWORD len, void *data)
{
    if (!image && size) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    try {
        return copyFrom(MemorySource(image, size), len, data);
    } catch (const std::bad_alloc &) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
}

BOOL VerQueryValue(const void *block, const wchar_t *subBlock, void **buffer, UINT *len)
{
    if (!block)
        return queryFail(ERROR_INVALID_PARAMETER);
    // GetFileVersionInfo made sure the root length lies inside the copy.
    return VerQueryValueInBlock(block, le16(static_cast<const unsigned char *>(block)), subBlock,
                                buffer, len);
}

BOOL VerQueryValueInBlock(const void *block, std::size_t blockSize, const wchar_t *subBlock,
                          void **buffer, UINT *len)
{
    if (!block || !subBlock || !buffer)
        return queryFail(ERROR_INVALID_PARAMETER);
    const auto *bytes = static_cast<const unsigned char *>(block);

    std::vector<std::u16string> keys;
    try {
        if (!splitPath(subBlock, keys))
            return queryFail(ERROR_INVALID_PARAMETER);
    } catch (const std::bad_alloc &) {
        return queryFail(ERROR_NOT_ENOUGH_MEMORY);
    }

    Node node;
    if (!readNode(bytes, 0, blockSize, node))
        return queryFail(ERROR_INVALID_DATA);

    // Each level searches the children of the node found so far, inside that node's
    // extent. Every step moves forward by at least a node header, so the walk ends.
    for (const std::u16string &key : keys) {
        bool found = false;
        std::size_t offset = node.childrenStart;
        while (offset < node.end && node.end - offset >= kNodeHeader) {
            const std::uint16_t length = le16(bytes + offset);
            if (length < kNodeHeader)
                break;
            Node child;
            if (readNode(bytes, offset, node.end, child) && keyEquals(bytes, child, key)) {
                node = child;
                found = true;
                break;
            }
            offset = align4(offset + length);
        }
        if (!found)
            return queryFail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    }

    if (node.type == kTextValue && !keys.empty()) {
        if (node.valueLength == 0) {
            // The empty text: the key's own terminating zero serves as its value.
            *buffer = const_cast<unsigned char *>(bytes + node.keyEnd - 2);
            if (len)
                *len = 1;
            return 1;
        }
        // The stored length may count bytes or leave out the terminator, depending on
        // the tool that wrote it: the text is what runs up to its zero inside the node.
        std::size_t p = node.valueStart;
        while (p + 2 <= node.end && le16(bytes + p) != 0)
            p += 2;
        if (p + 2 > node.end)
            return queryFail(ERROR_INVALID_DATA);
        *buffer = const_cast<unsigned char *>(bytes + node.valueStart);
        if (len)
            *len = UINT((p - node.valueStart) / 2 + 1);
        return 1;
    }

    if (node.valueLength > node.end || node.valueStart > node.end - node.valueLength)
        return queryFail(ERROR_INVALID_DATA);
    *buffer = const_cast<unsigned char *>(bytes + std::min(node.valueStart, node.end));
    if (len)
        *len = node.valueLength;
    return 1;
}

DWORD GetLastError()
{
    return lastError;
}

void SetLastError(DWORD error)
{
    lastError = error;
}

} // namespace winver
