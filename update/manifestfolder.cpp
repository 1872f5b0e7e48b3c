// The update on disk beside its list: the list a maker's tool writes for a folder, and
// how a folder differs from a list.

#include "manifest.h"

#include "beneath.h"
#include "hashqueue.h"
#include "manifest_p.h"
#include "posixfs.h"

#include <QSet>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::update {

using namespace detail;

namespace {

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

// The SHA-256 and size of the regular file at path below topFd, or why it could not be
// read (error set to errno where there is one).
QString hashFile(int topFd, const QByteArray &path, QByteArray *digest, qint64 *size, int *error)
{
    *error = 0;
    // Non-blocking, so a file swapped for a pipe meanwhile cannot stall the walk.
    const corvane::fs::UniqueFd file(corvane::fs::openForReadingBeneath(topFd, path));
    struct stat before, after;
    if (file.get() < 0 || ::fstat(file.get(), &before) != 0) {
        *error = errno;
        return fs::errorText(*error);
    }
    if (!S_ISREG(before.st_mode))
        return QStringLiteral("no longer a regular file");
    if (!sha256OfFile(file.get(), digest)) {
        *error = errno;
        return fs::errorText(*error);
    }
    if (::fstat(file.get(), &after) != 0 || after.st_size != before.st_size
        || after.st_mtim.tv_sec != before.st_mtim.tv_sec
        || after.st_mtim.tv_nsec != before.st_mtim.tv_nsec)
        return QStringLiteral("changed while being read");
    *size = before.st_size;
    return {};
}

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

} // namespace

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
                = hashFile(topFd.get(), found.path, &entry.sha256, &entry.size, &errorNumber);
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
                = hashFile(topFd.get(), listed->path, &digest, &size, &difference.error);
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

} // namespace corvane::update
