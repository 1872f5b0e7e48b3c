#include "manifest.h"

#include "devicefiles.h"
#include "manifest_p.h"

#include <QList>
#include <QSet>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

namespace corvane::update {

using namespace detail;

namespace {

// The update's folders carry the names they have on the device.
QByteArray lastComponent(const char *devicePath)
{
    const QByteArray path(devicePath);
    return path.mid(path.lastIndexOf('/') + 1);
}

bool isRoot(const QByteArray &path)
{
    return path == roots()[0] || path == roots()[1];
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

// Qt's percent-encoding keeps letters, digits and "-._~" and writes upper-case hex: with
// "+" and "/" kept too, it is the one way a path or target is written.
QByteArray encodeBytes(const QByteArray &bytes)
{
    return bytes.toPercentEncoding("+/");
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

} // namespace

namespace detail {

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

// Byte order of paths, bytes compared as unsigned.
bool pathLess(const QByteArray &a, const QByteArray &b)
{
    const qsizetype common = std::min(a.size(), b.size());
    const int order = common > 0 ? std::memcmp(a.constData(), b.constData(), size_t(common)) : 0;
    return order < 0 || (order == 0 && a.size() < b.size());
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

} // namespace detail

bool ManifestEntry::operator==(const ManifestEntry &other) const
{
    return type == other.type && path == other.path && mode == other.mode && size == other.size
        && sha256 == other.sha256 && target == other.target;
}

bool Manifest::operator==(const Manifest &other) const
{
    return version == other.version && entries == other.entries;
}

namespace {

// The one parser of the text. Store keeps what is parsed: add(entry, offset of its line)
// and hasFolder(path), whether an entry before is the folder `path`.
template <typename Store>
bool parseInto(const QByteArray &text, QByteArray *version, Store &store, ManifestError *error)
{
    if (text.size() > maxManifestBytes)
        return fail(error, 0, QStringLiteral("larger than %1 bytes").arg(maxManifestBytes));
    if (text.isEmpty())
        return fail(error, 0, QStringLiteral("empty"));
    if (!text.endsWith('\n'))
        return fail(error, int(text.count('\n')) + 1, QStringLiteral("no line feed at its end"));

    QByteArray previous; // the path of the entry before
    bool anyEntry = false;
    std::array<bool, 2> rootListed{false, false};
    int number = 0;
    for (qsizetype start = 0; start < text.size();) {
        const qsizetype end = text.indexOf('\n', start);
        const qsizetype lineStart = start;
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
            *version = line.mid(8);
            if (!isValidVersion(*version))
                return fail(
                    error, number,
                    QStringLiteral("\"%1\" is not a version").arg(QString::fromLatin1(*version)));
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
        if (anyEntry) {
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
        if (slash >= 0 && !store.hasFolder(entry.path.left(slash)))
            return fail(
                error, number,
                QStringLiteral("the folder that holds \"%1\" is not listed before it").arg(shown));
        if (slash < 0)
            rootListed[entry.path == roots()[0] ? 0 : 1] = true;
        previous = entry.path;
        anyEntry = true;
        store.add(std::move(entry), lineStart);
    }
    if (number < 2)
        return fail(error, 0, QStringLiteral("no version line"));
    for (size_t i = 0; i < roots().size(); ++i) {
        if (!rootListed[i])
            return fail(
                error, 0,
                QStringLiteral("the folder %1 is not listed").arg(QString::fromLatin1(roots()[i])));
    }
    return true;
}

struct WholeStore
{
    std::vector<ManifestEntry> entries;
    QSet<QByteArray> folders;

    bool hasFolder(const QByteArray &path) const { return folders.contains(path); }
    void add(ManifestEntry &&entry, qsizetype)
    {
        if (entry.type == ManifestEntry::Type::Folder)
            folders.insert(entry.path);
        entries.push_back(std::move(entry));
    }
};

} // namespace

bool parseManifest(const QByteArray &text, Manifest *manifest, ManifestError *error)
{
    Manifest result;
    WholeStore store;
    if (!parseInto(text, &result.version, store, error))
        return false;
    result.entries = std::move(store.entries);
    *manifest = std::move(result);
    return true;
}

// The index keeps the checked text and the offset of each entry's line: about 4 bytes an
// entry beside the text, where whole entries cost some 300 (a list of 740,000 short lines
// took 230 MB). Paths are compared in their written form, decoded on the fly.
namespace {

// Where an entry line's PATH is written: the second field of a link, else the last.
std::pair<const char *, const char *> pathField(const char *line, const char *end)
{
    const char *space = static_cast<const char *>(std::memchr(line, ' ', size_t(end - line)));
    if (line[0] == 'l') {
        const char *next
            = static_cast<const char *>(std::memchr(space + 1, ' ', size_t(end - space - 1)));
        return {space + 1, next};
    }
    const char *last = end;
    while (last[-1] != ' ')
        --last;
    return {last, end};
}

// The written path (checked when parsed) against raw bytes, in the list's order.
int compareWritten(const char *at, const char *end, const char *key, qsizetype keySize)
{
    qsizetype k = 0;
    while (at < end) {
        uchar c = uchar(*at);
        if (c == '%') {
            c = uchar(upperHexValue(at[1]) * 16 + upperHexValue(at[2]));
            at += 3;
        } else {
            ++at;
        }
        if (k == keySize)
            return 1;
        const auto d = uchar(key[k++]);
        if (c != d)
            return c < d ? -1 : 1;
    }
    return k == keySize ? 0 : -1;
}

} // namespace

struct ManifestIndex::Store
{
    ManifestIndex &index;
    bool hasFolder(const QByteArray &path) const
    {
        const qsizetype at = index.find(path);
        if (at < 0)
            return false;
        const char *line = index.m_text.constData() + index.m_lines[size_t(at)];
        return line[0] == 'f' && line[1] == 'o'; // "folder", not "file"
    }
    void add(ManifestEntry &&, qsizetype offset) { index.m_lines.push_back(quint32(offset)); }
};

bool ManifestIndex::parse(QByteArray text, ManifestError *error)
{
    *this = ManifestIndex();
    m_text = std::move(text);
    m_lines.reserve(size_t(m_text.count('\n')));
    Store store{*this};
    if (!parseInto(m_text, &m_version, store, error)) {
        *this = ManifestIndex();
        return false;
    }
    m_lines.shrink_to_fit();
    return true;
}

std::pair<const char *, const char *> ManifestIndex::line(qsizetype i) const
{
    const char *begin = m_text.constData() + m_lines[size_t(i)];
    const char *end = static_cast<const char *>(
        std::memchr(begin, '\n', size_t(m_text.constData() + m_text.size() - begin)));
    return {begin, end};
}

qsizetype ManifestIndex::find(const QByteArray &path) const
{
    qsizetype low = 0, high = size();
    while (low < high) {
        const qsizetype middle = low + (high - low) / 2;
        const auto [begin, end] = line(middle);
        const auto [at, to] = pathField(begin, end);
        const int order = compareWritten(at, to, path.constData(), path.size());
        if (order == 0)
            return middle;
        if (order < 0)
            low = middle + 1;
        else
            high = middle;
    }
    return -1;
}

ManifestEntry ManifestIndex::entry(qsizetype i) const
{
    const auto [begin, end] = line(i);
    ManifestEntry entry;
    // Checked when the list was parsed: parsed again the same way.
    (void)parseEntry(QByteArray::fromRawData(begin, end - begin).split(' '), &entry);
    return entry;
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

} // namespace corvane::update
