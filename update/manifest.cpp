#include "manifest.h"

#include "beneath.h"
#include "devicefiles.h"
#include "posixfs.h"

#include <QList>
#include <QSet>

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::update {

namespace {

constexpr qsizetype maxComponentBytes = 255;
constexpr qsizetype maxPathBytes = 4095;
constexpr qsizetype sha256Bytes = 32;

// The update's folders carry the names they have on the device.
QByteArray lastComponent(const char *devicePath)
{
    const QByteArray path(devicePath);
    return path.mid(path.lastIndexOf('/') + 1);
}

// Both top folders, in the manifest's order.
const std::array<QByteArray, 2> &roots()
{
    static const std::array<QByteArray, 2> names = [] {
        std::array<QByteArray, 2> both{lastComponent(device::updateAppFolder),
                                       lastComponent(device::updateSystemFolder)};
        std::sort(both.begin(), both.end());
        return both;
    }();
    return names;
}

bool isRoot(const QByteArray &path)
{
    return path == roots()[0] || path == roots()[1];
}

// Byte order of paths, bytes compared as unsigned.
bool pathLess(const QByteArray &a, const QByteArray &b)
{
    const qsizetype common = std::min(a.size(), b.size());
    const int order = common > 0 ? std::memcmp(a.constData(), b.constData(), size_t(common)) : 0;
    return order < 0 || (order == 0 && a.size() < b.size());
}

bool isPlain(uchar c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
        || c == '.' || c == '_' || c == '~' || c == '+' || c == '/';
}

int upperHexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

QByteArray encodeBytes(const QByteArray &bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray text;
    text.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = uchar(ch);
        if (isPlain(c)) {
            text += ch;
        } else {
            text += '%';
            text += hex[c >> 4];
            text += hex[c & 15];
        }
    }
    return text;
}

// The bytes of an encoded path or target, or the reason it is not written the one way.
bool decodeBytes(const QByteArray &text, QByteArray *bytes, QString *reason)
{
    bytes->clear();
    bytes->reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '%') {
            if (!isPlain(uchar(c))) {
                *reason = QStringLiteral("\"%1\" must be written as %2")
                              .arg(QString(QLatin1Char(c)),
                                   QString::fromLatin1(encodeBytes(QByteArray(1, c))));
                return false;
            }
            *bytes += c;
            continue;
        }
        const int high = i + 2 < text.size() ? upperHexValue(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? upperHexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
            *reason = QStringLiteral("\"%\" must be followed by two uppercase hex digits");
            return false;
        }
        const auto value = uchar(high * 16 + low);
        if (isPlain(value)) {
            *reason
                = QStringLiteral("\"%1\" must be written as \"%2\"")
                      .arg(QString::fromLatin1(text.mid(i, 3)), QString(QLatin1Char(char(value))));
            return false;
        }
        if (value == 0) {
            *reason = QStringLiteral("a NUL byte (%00) cannot be part of a name");
            return false;
        }
        *bytes += char(value);
        i += 2;
    }
    return true;
}

// Why a relative path cannot be listed; empty when it can.
QString pathProblem(const QByteArray &path)
{
    if (path.isEmpty())
        return QStringLiteral("empty path");
    if (path.size() > maxPathBytes)
        return QStringLiteral("path longer than %1 bytes").arg(maxPathBytes);
    for (const QByteArray &component : path.split('/')) {
        if (component.isEmpty())
            return QStringLiteral("empty component (a \"/\" at an end or doubled)");
        if (component == "." || component == "..")
            return QStringLiteral("component \"%1\"").arg(QString::fromLatin1(component));
        if (component.size() > maxComponentBytes)
            return QStringLiteral("component longer than %1 bytes").arg(maxComponentBytes);
    }
    return {};
}

QByteArray modeText(quint32 mode)
{
    return QByteArray::number(mode & 07777, 8).rightJustified(4, '0');
}

const char *typeName(ManifestEntry::Type type)
{
    switch (type) {
    case ManifestEntry::Type::Folder:
        return "folder";
    case ManifestEntry::Type::File:
        return "file";
    case ManifestEntry::Type::Link:
        return "link";
    }
    return "entry";
}

bool fail(ManifestError *error, int line, const QString &what)
{
    if (error) {
        error->line = line;
        error->message = line > 0 ? QStringLiteral("line %1: %2").arg(line).arg(what) : what;
    }
    return false;
}

// Parses one entry line (split into its fields) into entry; the reason when it is wrong.
QString parseEntry(const QList<QByteArray> &fields, ManifestEntry *entry)
{
    struct Shape
    {
        const char *name;
        ManifestEntry::Type type;
        qsizetype fields;
        const char *usage;
    };
    static const Shape shapes[] = {
        {"folder", ManifestEntry::Type::Folder, 3, "folder MODE PATH"},
        {"file", ManifestEntry::Type::File, 5, "file MODE SIZE SHA256 PATH"},
        {"link", ManifestEntry::Type::Link, 3, "link PATH TARGET"},
    };
    const Shape *shape = nullptr;
    for (const Shape &candidate : shapes) {
        if (fields[0] == candidate.name)
            shape = &candidate;
    }
    if (!shape)
        return QStringLiteral("unknown entry \"%1\" (folder, file or link)")
            .arg(QString::fromLatin1(fields[0]));
    if (fields.size() != shape->fields)
        return QStringLiteral("%1 fields where \"%2\" has %3")
            .arg(fields.size())
            .arg(QLatin1String(shape->usage))
            .arg(shape->fields);
    entry->type = shape->type;

    if (shape->type != ManifestEntry::Type::Link) {
        const QByteArray &mode = fields[1];
        const bool octal = mode.size() == 4
            && std::all_of(mode.begin(), mode.end(), [](char c) { return c >= '0' && c <= '7'; });
        if (!octal)
            return QStringLiteral("mode \"%1\" is not four octal digits")
                .arg(QString::fromLatin1(mode));
        entry->mode = mode.toUInt(nullptr, 8);
    }
    if (shape->type == ManifestEntry::Type::File) {
        const QByteArray &size = fields[2];
        const bool decimal = !size.isEmpty() && size.size() <= 19
            && std::all_of(size.begin(), size.end(), [](char c) { return c >= '0' && c <= '9'; })
            && (size == "0" || size[0] != '0');
        bool fits = false;
        entry->size = decimal ? size.toLongLong(&fits) : 0;
        if (!decimal || !fits)
            return QStringLiteral("size \"%1\" is not a decimal number of bytes without "
                                  "leading zero")
                .arg(QString::fromLatin1(size));
        const QByteArray &hash = fields[3];
        const bool hex = hash.size() == 2 * sha256Bytes
            && std::all_of(hash.begin(), hash.end(),
                           [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
        if (!hex)
            return QStringLiteral("SHA-256 \"%1\" is not 64 lowercase hex digits")
                .arg(QString::fromLatin1(hash.left(80)));
        entry->sha256 = QByteArray::fromHex(hash);
    }

    const QByteArray &pathText
        = shape->type == ManifestEntry::Type::Link ? fields[1] : fields.last();
    QString reason;
    if (!decodeBytes(pathText, &entry->path, &reason))
        return QStringLiteral("path: ") + reason;
    const QString problem = pathProblem(entry->path);
    if (!problem.isEmpty())
        return QStringLiteral("path \"%1\": %2").arg(QString::fromLatin1(pathText), problem);

    if (shape->type == ManifestEntry::Type::Link) {
        if (!decodeBytes(fields[2], &entry->target, &reason))
            return QStringLiteral("link target: ") + reason;
        if (entry->target.isEmpty() || entry->target.size() > maxPathBytes)
            return QStringLiteral("link target of 1 to %1 bytes expected").arg(maxPathBytes);
    }
    return {};
}

// Simple numbers of the version grammar: "0" or up to 9 digits without leading zero.
bool parseVersionNumber(const QByteArray &text, qsizetype *at, quint32 *value)
{
    qsizetype i = *at;
    quint32 number = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - *at < 10) {
        number = number * 10 + quint32(text[i] - '0');
        ++i;
    }
    const qsizetype digits = i - *at;
    if (digits == 0 || digits > 9 || (digits > 1 && text[*at] == '0'))
        return false;
    *at = i;
    *value = number;
    return true;
}

struct ParsedVersion
{
    std::vector<quint32> numbers;
    bool hasSuffix = false;
    QByteArray letters;
    bool hasSuffixNumber = false;
    quint32 suffixNumber = 0;
};

std::optional<ParsedVersion> parseVersion(const QByteArray &text)
{
    ParsedVersion version;
    qsizetype i = 0;
    for (;;) {
        quint32 number = 0;
        if (version.numbers.size() == 4 || !parseVersionNumber(text, &i, &number))
            return std::nullopt;
        version.numbers.push_back(number);
        if (i < text.size() && text[i] == '.') {
            ++i;
            continue;
        }
        break;
    }
    if (i == text.size())
        return version;
    if (text[i] != '-')
        return std::nullopt;
    version.hasSuffix = true;
    for (++i; i < text.size() && text[i] >= 'a' && text[i] <= 'z'; ++i)
        version.letters += text[i];
    if (version.letters.isEmpty() || version.letters.size() > 16)
        return std::nullopt;
    if (i < text.size()) {
        version.hasSuffixNumber = true;
        if (!parseVersionNumber(text, &i, &version.suffixNumber) || i != text.size())
            return std::nullopt;
    }
    return version;
}

template <typename T>
int threeWay(const T &a, const T &b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

// --- The update on disk ---

struct DiskEntry
{
    enum class Kind { Folder, File, Link, Special };

    Kind kind = Kind::Special;
    QByteArray path;
    quint32 mode = 0;
    qint64 size = 0;
    QByteArray target;
    int error = 0; // could not be examined (a folder not listed, a link not read)
};

const char *kindName(DiskEntry::Kind kind)
{
    switch (kind) {
    case DiskEntry::Kind::Folder:
        return "folder";
    case DiskEntry::Kind::File:
        return "file";
    case DiskEntry::Kind::Link:
        return "link";
    case DiskEntry::Kind::Special:
        break;
    }
    return "special file";
}

DiskEntry::Kind kindOf(ManifestEntry::Type type)
{
    switch (type) {
    case ManifestEntry::Type::Folder:
        return DiskEntry::Kind::Folder;
    case ManifestEntry::Type::File:
        return DiskEntry::Kind::File;
    case ManifestEntry::Type::Link:
        return DiskEntry::Kind::Link;
    }
    return DiskEntry::Kind::Special;
}

// Adds the entry name of the open folder dirFd, and everything below it, to entries.
// Links are read, never followed; sub-folders are entered without following a link.
// An entry that vanished meanwhile is not there.
void walkEntry(int dirFd, const QByteArray &name, const QByteArray &path,
               std::vector<DiskEntry> *entries)
{
    struct stat st;
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            DiskEntry entry;
            entry.path = path;
            entry.error = errno;
            entries->push_back(std::move(entry));
        }
        return;
    }
    DiskEntry entry;
    entry.path = path;
    entry.mode = st.st_mode & 07777;
    if (S_ISREG(st.st_mode)) {
        entry.kind = DiskEntry::Kind::File;
        entry.size = st.st_size;
    } else if (S_ISLNK(st.st_mode)) {
        entry.kind = DiskEntry::Kind::Link;
        entry.mode = 0;
        QByteArray target(maxPathBytes + 1, Qt::Uninitialized);
        const ssize_t length
            = ::readlinkat(dirFd, name.constData(), target.data(), size_t(target.size()));
        if (length < 0)
            entry.error = errno;
        else if (length > maxPathBytes)
            entry.error = ENAMETOOLONG;
        else
            entry.target = target.left(length);
    } else if (S_ISDIR(st.st_mode)) {
        entry.kind = DiskEntry::Kind::Folder;
    }
    if (entry.kind != DiskEntry::Kind::Folder) {
        entries->push_back(std::move(entry));
        return;
    }
    // Nothing below a path this long can be listed: the walk ends here, so that however
    // deep a tree is, its walk neither runs out of stack nor of file descriptors.
    if (path.size() >= maxPathBytes) {
        entry.error = ENAMETOOLONG;
        entries->push_back(std::move(entry));
        return;
    }
    const corvane::fs::UniqueFd folder(
        ::openat(dirFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::vector<QByteArray> names;
    if (folder.get() < 0 || !fs::listFolder(folder.get(), &names))
        entry.error = errno;
    entries->push_back(std::move(entry));
    for (const QByteArray &child : names)
        walkEntry(folder.get(), child, path + '/' + child, entries);
}

// Every entry of both update folders below the open folder topFd, in path order.
std::vector<DiskEntry> walkUpdate(int topFd)
{
    std::vector<DiskEntry> entries;
    for (const QByteArray &root : roots())
        walkEntry(topFd, root, root, &entries);
    std::sort(entries.begin(), entries.end(),
              [](const DiskEntry &a, const DiskEntry &b) { return pathLess(a.path, b.path); });
    return entries;
}

struct DigestFree
{
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

// SHA-256 of files, with one buffer for all of them.
class Hasher
{
public:
    // The digest and size of the regular file at path below topFd, or why it could not be
    // read (error set to errno where there is one).
    QString hash(int topFd, const QByteArray &path, QByteArray *digest, qint64 *size, int *error)
    {
        *error = 0;
        // Non-blocking, so a file swapped for a pipe meanwhile cannot stall the walk.
        const corvane::fs::UniqueFd file(
            corvane::fs::openBeneath(topFd, path, O_RDONLY | O_NONBLOCK));
        struct stat st;
        if (file.get() < 0 || ::fstat(file.get(), &st) != 0) {
            *error = errno;
            return fs::errorText(*error);
        }
        if (!S_ISREG(st.st_mode))
            return QStringLiteral("no longer a regular file");
        if (!m_ctx || EVP_DigestInit_ex(m_ctx.get(), EVP_sha256(), nullptr) != 1)
            return QStringLiteral("SHA-256 is not available");
        *size = 0;
        for (;;) {
            const ssize_t got = ::read(file.get(), m_buffer.data(), m_buffer.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                *error = errno;
                return fs::errorText(*error);
            }
            if (got == 0)
                break;
            *size += got;
            if (EVP_DigestUpdate(m_ctx.get(), m_buffer.data(), size_t(got)) != 1)
                return QStringLiteral("SHA-256 failed");
        }
        if (*size != st.st_size)
            return QStringLiteral("changed while being read");
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(m_ctx.get(), out, &length) != 1 || length != sha256Bytes)
            return QStringLiteral("SHA-256 failed");
        *digest = QByteArray(reinterpret_cast<const char *>(out), int(length));
        return {};
    }

private:
    std::unique_ptr<EVP_MD_CTX, DigestFree> m_ctx{EVP_MD_CTX_new()};
    std::vector<char> m_buffer = std::vector<char>(size_t(256) * 1024);
};

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

} // namespace

bool ManifestEntry::operator==(const ManifestEntry &other) const
{
    return type == other.type && path == other.path && mode == other.mode && size == other.size
        && sha256 == other.sha256 && target == other.target;
}

bool Manifest::operator==(const Manifest &other) const
{
    return version == other.version && entries == other.entries;
}

bool parseManifest(const QByteArray &text, Manifest *manifest, ManifestError *error)
{
    if (text.size() > maxManifestBytes)
        return fail(error, 0, QStringLiteral("larger than %1 bytes").arg(maxManifestBytes));
    if (text.isEmpty())
        return fail(error, 0, QStringLiteral("empty"));
    if (!text.endsWith('\n'))
        return fail(error, int(text.count('\n')) + 1, QStringLiteral("no line feed at its end"));

    Manifest result;
    QSet<QByteArray> folders;
    int number = 0;
    for (qsizetype start = 0; start < text.size();) {
        const qsizetype end = text.indexOf('\n', start);
        const QByteArray line = text.mid(start, end - start);
        start = end + 1;
        ++number;
        for (const char c : line) {
            if (c == '\r')
                return fail(error, number, QStringLiteral("carriage return (lines end in LF)"));
            if (uchar(c) < 0x20 || uchar(c) > 0x7e)
                return fail(error, number,
                            QStringLiteral("byte 0x%1 (only printable ASCII; other bytes of "
                                           "names are written as %XX)")
                                .arg(uchar(c), 2, 16, QLatin1Char('0')));
        }
        if (number == 1) {
            const QByteArray expected
                = manifestFormatName + QByteArray(" ") + QByteArray::number(manifestFormatNumber);
            if (line == expected)
                continue;
            const QByteArray prefix = manifestFormatName + QByteArray(" ");
            if (line.startsWith(prefix))
                return fail(error, number,
                            QStringLiteral("format number \"%1\" is not supported (this "
                                           "installer reads %2)")
                                .arg(QString::fromLatin1(line.mid(prefix.size())))
                                .arg(manifestFormatNumber));
            return fail(error, number,
                        QStringLiteral("not an update manifest (\"%1\" expected)")
                            .arg(QString::fromLatin1(expected)));
        }
        if (number == 2) {
            if (!line.startsWith("version "))
                return fail(error, number, QStringLiteral("\"version VERSION\" expected"));
            result.version = line.mid(8);
            if (!isValidVersion(result.version))
                return fail(error, number,
                            QStringLiteral("\"%1\" is not a version")
                                .arg(QString::fromLatin1(result.version)));
            continue;
        }
        if (line.isEmpty())
            return fail(error, number, QStringLiteral("empty line"));
        const QList<QByteArray> fields = line.split(' ');
        if (std::any_of(fields.begin(), fields.end(),
                        [](const QByteArray &field) { return field.isEmpty(); }))
            return fail(error, number, QStringLiteral("fields are separated by one space"));
        ManifestEntry entry;
        const QString reason = parseEntry(fields, &entry);
        if (!reason.isEmpty())
            return fail(error, number, reason);

        const QString shown = QString::fromLatin1(encodeBytes(entry.path));
        if (!result.entries.empty()) {
            const QByteArray &previous = result.entries.back().path;
            if (entry.path == previous)
                return fail(error, number, QStringLiteral("\"%1\" listed twice").arg(shown));
            if (pathLess(entry.path, previous))
                return fail(error, number,
                            QStringLiteral("\"%1\" is out of order (it sorts before \"%2\")")
                                .arg(shown, QString::fromLatin1(encodeBytes(previous))));
        }
        const qsizetype slash = entry.path.lastIndexOf('/');
        if (slash < 0 && (!isRoot(entry.path) || entry.type != ManifestEntry::Type::Folder))
            return fail(
                error, number,
                QStringLiteral("\"%1\" at the top (only the folders %2 and %3 are there)")
                    .arg(shown, QString::fromLatin1(roots()[0]), QString::fromLatin1(roots()[1])));
        if (slash >= 0 && !folders.contains(entry.path.left(slash)))
            return fail(
                error, number,
                QStringLiteral("the folder that holds \"%1\" is not listed before it").arg(shown));
        if (entry.type == ManifestEntry::Type::Folder)
            folders.insert(entry.path);
        result.entries.push_back(std::move(entry));
    }
    if (number < 2)
        return fail(error, 0, QStringLiteral("no version line"));
    for (const QByteArray &root : roots()) {
        if (!folders.contains(root))
            return fail(
                error, 0,
                QStringLiteral("the folder %1 is not listed").arg(QString::fromLatin1(root)));
    }
    *manifest = std::move(result);
    return true;
}

QByteArray writeManifest(const Manifest &manifest)
{
    QByteArray text = manifestFormatName + QByteArray(" ")
        + QByteArray::number(manifestFormatNumber) + "\nversion " + manifest.version + '\n';
    for (const ManifestEntry &entry : manifest.entries) {
        text += typeName(entry.type);
        text += ' ';
        switch (entry.type) {
        case ManifestEntry::Type::Folder:
            text += modeText(entry.mode) + ' ' + encodeBytes(entry.path);
            break;
        case ManifestEntry::Type::File:
            text += modeText(entry.mode) + ' ' + QByteArray::number(entry.size) + ' '
                + entry.sha256.toHex() + ' ' + encodeBytes(entry.path);
            break;
        case ManifestEntry::Type::Link:
            text += encodeBytes(entry.path) + ' ' + encodeBytes(entry.target);
            break;
        }
        text += '\n';
    }
    return text;
}

bool buildManifest(const QString &folder, const QByteArray &version, Manifest *manifest,
                   QString *error)
{
    if (!isValidVersion(version)) {
        *error = QStringLiteral("\"%1\" is not a version").arg(QString::fromLatin1(version));
        return false;
    }
    const QByteArray top = fs::enc(folder);
    const corvane::fs::UniqueFd topFd(
        ::open(top.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (topFd.get() < 0) {
        *error = fs::failureText("opening of", top, errno);
        return false;
    }
    for (const QByteArray &root : roots()) {
        struct stat st;
        if (::fstatat(topFd.get(), root.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            *error = fs::failureText("stat of", fs::join(top, root), errno);
            return false;
        }
        if (!S_ISDIR(st.st_mode)) {
            *error = QStringLiteral("%1 is not a folder").arg(quotedForLog(fs::join(top, root)));
            return false;
        }
    }

    Manifest result;
    result.version = version;
    Hasher hasher;
    for (const DiskEntry &found : walkUpdate(topFd.get())) {
        const QByteArray full = fs::join(top, found.path);
        if (found.error != 0) {
            *error = fs::failureText("reading of", full, found.error);
            return false;
        }
        const QString problem = pathProblem(found.path);
        if (!problem.isEmpty()) {
            *error = QStringLiteral("%1 cannot be listed: %2").arg(quotedForLog(full), problem);
            return false;
        }
        ManifestEntry entry;
        entry.path = found.path;
        switch (found.kind) {
        case DiskEntry::Kind::Special:
            *error = QStringLiteral("%1 is a special file (neither file, folder nor link)")
                         .arg(quotedForLog(full));
            return false;
        case DiskEntry::Kind::Folder:
            entry.type = ManifestEntry::Type::Folder;
            entry.mode = found.mode;
            break;
        case DiskEntry::Kind::Link:
            entry.type = ManifestEntry::Type::Link;
            entry.target = found.target;
            break;
        case DiskEntry::Kind::File: {
            entry.type = ManifestEntry::Type::File;
            entry.mode = found.mode;
            int errorNumber = 0;
            QString why
                = hasher.hash(topFd.get(), found.path, &entry.sha256, &entry.size, &errorNumber);
            if (why.isEmpty() && entry.size != found.size)
                why = QStringLiteral("changed while being read");
            if (!why.isEmpty()) {
                *error = QStringLiteral("%1 cannot be hashed: %2").arg(quotedForLog(full), why);
                return false;
            }
            break;
        }
        }
        result.entries.push_back(std::move(entry));
    }
    *manifest = std::move(result);
    return true;
}

QString Difference::text() const
{
    QString where = path.isEmpty() ? QStringLiteral("The update folder") : quotedForLog(path);
    switch (kind) {
    case Kind::Missing:
        return QStringLiteral("%1 is listed but missing").arg(where);
    case Kind::Extra:
        return QStringLiteral("%1 is not listed").arg(where);
    case Kind::Type:
        return QStringLiteral("%1 is a %2, listed as a %3").arg(where, found, listed);
    case Kind::Size:
        return QStringLiteral("%1 has %2 bytes, listed with %3").arg(where, found, listed);
    case Kind::Mode:
        return QStringLiteral("%1 has mode %2, listed with %3").arg(where, found, listed);
    case Kind::Hash:
        return QStringLiteral("%1 has SHA-256 %2, listed with %3").arg(where, found, listed);
    case Kind::Target:
        return QStringLiteral("%1 points to %2, listed pointing to %3").arg(where, found, listed);
    case Kind::Unreadable:
        return QStringLiteral("%1 cannot be read: %2").arg(where, found);
    }
    return where;
}

std::vector<Difference> compareWithFolder(const Manifest &manifest, const QString &folder,
                                          Stop stop)
{
    std::vector<Difference> differences;
    const QByteArray top = fs::enc(folder);
    const corvane::fs::UniqueFd topFd(
        ::open(top.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (topFd.get() < 0) {
        Difference unreadable;
        unreadable.kind = Difference::Kind::Unreadable;
        unreadable.error = errno;
        unreadable.found = fs::failureText("opening of", top, errno);
        differences.push_back(std::move(unreadable));
        return differences;
    }
    const std::vector<DiskEntry> disk = walkUpdate(topFd.get());

    // Folders below which nothing more is reported: their own line says it all.
    QSet<QByteArray> closed;
    const auto isBelowClosed = [&closed](const QByteArray &path) {
        if (closed.isEmpty())
            return false;
        for (qsizetype slash = path.lastIndexOf('/'); slash > 0;
             slash = path.lastIndexOf('/', slash - 1)) {
            if (closed.contains(path.left(slash)))
                return true;
        }
        return false;
    };
    // Records a difference; true when the comparison stops here.
    const auto report = [&](Difference difference) {
        if (difference.kind == Difference::Kind::Missing
            || difference.kind == Difference::Kind::Extra
            || difference.kind == Difference::Kind::Type
            || difference.kind == Difference::Kind::Unreadable)
            closed.insert(difference.path);
        differences.push_back(std::move(difference));
        return stop == Stop::AtFirst;
    };

    Hasher hasher;
    const std::vector<ManifestEntry> &listedEntries = manifest.entries;
    size_t i = 0;
    size_t j = 0;
    while (i < listedEntries.size() || j < disk.size()) {
        const ManifestEntry *listed = i < listedEntries.size() ? &listedEntries[i] : nullptr;
        const DiskEntry *found = j < disk.size() ? &disk[j] : nullptr;
        Difference difference;
        if (listed && (!found || pathLess(listed->path, found->path))) {
            ++i;
            if (isBelowClosed(listed->path))
                continue;
            difference.kind = Difference::Kind::Missing;
            difference.path = listed->path;
            difference.listed = QLatin1String(typeName(listed->type));
            if (report(std::move(difference)))
                break;
            continue;
        }
        if (!listed || pathLess(found->path, listed->path)) {
            ++j;
            if (isBelowClosed(found->path))
                continue;
            difference.kind = Difference::Kind::Extra;
            difference.path = found->path;
            difference.found = QLatin1String(kindName(found->kind));
            if (report(std::move(difference)))
                break;
            continue;
        }
        ++i;
        ++j;
        if (isBelowClosed(listed->path))
            continue;
        difference.path = listed->path;
        if (found->error != 0) {
            difference.kind = Difference::Kind::Unreadable;
            difference.error = found->error;
            difference.found = fs::errorText(found->error);
        } else if (kindOf(listed->type) != found->kind) {
            difference.kind = Difference::Kind::Type;
            difference.listed = QLatin1String(typeName(listed->type));
            difference.found = QLatin1String(kindName(found->kind));
        } else if (listed->type == ManifestEntry::Type::File && listed->size != found->size) {
            difference.kind = Difference::Kind::Size;
            difference.listed = QString::number(listed->size);
            difference.found = QString::number(found->size);
        } else if (listed->type != ManifestEntry::Type::Link && listed->mode != found->mode) {
            difference.kind = Difference::Kind::Mode;
            difference.listed = QString::fromLatin1(modeText(listed->mode));
            difference.found = QString::fromLatin1(modeText(found->mode));
        } else if (listed->type == ManifestEntry::Type::Link && listed->target != found->target) {
            difference.kind = Difference::Kind::Target;
            difference.listed = quotedForLog(listed->target);
            difference.found = quotedForLog(found->target);
        } else if (listed->type == ManifestEntry::Type::File) {
            QByteArray digest;
            qint64 size = 0;
            const QString why
                = hasher.hash(topFd.get(), listed->path, &digest, &size, &difference.error);
            if (!why.isEmpty() || size != listed->size) {
                difference.kind = Difference::Kind::Unreadable;
                difference.found = why.isEmpty() ? QStringLiteral("changed while being read") : why;
            } else if (digest != listed->sha256) {
                difference.kind = Difference::Kind::Hash;
                difference.listed = hexText(listed->sha256);
                difference.found = hexText(digest);
            } else {
                continue;
            }
        } else {
            continue;
        }
        if (report(std::move(difference)))
            break;
    }
    return differences;
}

bool isValidVersion(const QByteArray &version)
{
    return parseVersion(version).has_value();
}

std::optional<int> compareVersions(const QByteArray &a, const QByteArray &b)
{
    const std::optional<ParsedVersion> x = parseVersion(a);
    const std::optional<ParsedVersion> y = parseVersion(b);
    if (!x || !y)
        return std::nullopt;
    for (size_t k = 0; k < std::max(x->numbers.size(), y->numbers.size()); ++k) {
        const quint32 p = k < x->numbers.size() ? x->numbers[k] : 0;
        const quint32 q = k < y->numbers.size() ? y->numbers[k] : 0;
        if (p != q)
            return threeWay(p, q);
    }
    if (x->hasSuffix != y->hasSuffix)
        return x->hasSuffix ? -1 : 1;
    if (const int letters = threeWay(x->letters, y->letters))
        return letters;
    if (x->hasSuffixNumber != y->hasSuffixNumber)
        return x->hasSuffixNumber ? 1 : -1;
    return threeWay(x->suffixNumber, y->suffixNumber);
}

} // namespace corvane::update
