// The update's signed list: where the device holds trusted keys, an update is installed
// only with a valid signature of one of them over a list that everything in the update
// matches, and never when it is older than the installed one. Without keys the update is
// installed unsigned; a list that comes with it is still checked (it finds a damaged
// copy). The signature and the list's structure are checked here and while planning,
// the files' content while they are staged: all of it before anything installed changes.

#include "devicefiles.h"
#include "signature.h"
#include "transaction_p.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvane::fs;
using namespace corvane::update;

namespace {

using corvane::device::installedVersionName;
constexpr qint64 kMaxVersionRecord = 256;
// A list of another update can differ everywhere: the first lines say enough.
constexpr int kMaxMismatchLines = 20;

QString typeName(ManifestEntry::Type type)
{
    switch (type) {
    case ManifestEntry::Type::Folder:
        return QStringLiteral("a folder");
    case ManifestEntry::Type::File:
        return QStringLiteral("a file");
    case ManifestEntry::Type::Link:
        return QStringLiteral("a link");
    }
    return QString();
}

QString octal(quint32 mode)
{
    return QStringLiteral("%1").arg(mode, 4, 8, QLatin1Char('0'));
}

} // namespace

void UpdateTransaction::checkSignedList(const SignedList &where)
{
    d->listPlaces = where;
}

void UpdateTransaction::Private::notAsListed(const QByteArray &path, const QString &what)
{
    // A list that is not signed proves nothing about its maker, but an update that differs
    // from it is not the copy that was listed: damaged on its way, or mixed with another.
    const QString list
        = listSigned ? QStringLiteral("the signed list") : QStringLiteral("the update's list");
    if (++listMismatches <= kMaxMismatchLines)
        qDebug().noquote() << kLog
                           << QStringLiteral("%1 does not match %2: %3.")
                                  .arg(corvane::quotedForLog(path), list, what);
    else if (listMismatches == kMaxMismatchLines + 1)
        qDebug().noquote() << kLog << QStringLiteral("more entries do not match %1.").arg(list);
    if (failure.kind == FailureKind::None)
        failure = {listSigned ? FailureKind::NotAsListed : FailureKind::NotAsUnsignedList,
                   dec(path), 0, what};
}

bool UpdateTransaction::Private::checkList()
{
    if (!listPlaces)
        return true;
    const TrustedKeys keys = loadTrustedKeys(listPlaces->trustedKeys);
    QByteArray text;
    const QString listPath = dec(w.relative(enc(listPlaces->manifest)));
    const int listFolder = listPlaces->folderFd >= 0 ? listPlaces->folderFd : AT_FDCWD;
    if (keys.state == TrustedKeys::State::Broken) {
        qDebug().noquote() << kLog
                           << QStringLiteral("the device's trusted keys cannot be used (%1); "
                                             "no update is installed until they are mended.")
                                  .arg(keys.problem);
        failure = {FailureKind::KeysUnusable, QString(), 0, keys.problem};
        return false;
    }
    if (keys.state == TrustedKeys::State::None) {
        qDebug() << kLog << "the device holds no trusted keys: no signature is required.";
        QString problem;
        switch (
            readFileNoFollow(listPlaces->manifest, maxManifestBytes, &text, &problem, listFolder)) {
        case ReadStatus::Missing:
            return true;
        case ReadStatus::Failed:
            qDebug().noquote()
                << kLog << QStringLiteral("the update's list cannot be read: %1").arg(problem);
            failure = {FailureKind::ListUnusable, listPath, 0, problem};
            return false;
        case ReadStatus::Ok:
            break;
        }
    } else {
        const SignedFile read = readSignedFile(listPlaces->manifest, listPlaces->signature,
                                               keys.keys, maxManifestBytes, listFolder);
        if (read.verification.outcome != Verification::Outcome::Valid) {
            qDebug().noquote() << kLog
                               << QStringLiteral("the update is not signed by a trusted key: %1")
                                      .arg(read.verification.detail);
            failure = {FailureKind::NotSigned, QString(), 0, read.verification.detail};
            return false;
        }
        qDebug().noquote() << kLog
                           << QStringLiteral("the update's list is signed by the trusted key %1 "
                                             "(trusted comment: %2).")
                                  .arg(read.verification.keyId,
                                       corvane::quotedForLog(read.verification.trustedComment));
        text = read.content;
        listSigned = true;
    }
    ManifestError error;
    // The list is kept as its text and an index of its lines: a long list of short lines
    // costs little more than its bytes.
    if (!manifest.parse(std::move(text), &error)) {
        qDebug().noquote()
            << kLog << QStringLiteral("the update's list is malformed: %1").arg(error.message);
        failure = {FailureKind::ListUnusable, listPath, 0, error.message};
        return false;
    }
    seen.assign(size_t(manifest.size()), false);
    hasList = true;
    if (!listSigned) {
        qDebug().noquote() << kLog
                           << QStringLiteral("the update is checked against its list (version %1), "
                                             "which is not signed.")
                                  .arg(QString::fromLatin1(manifest.version()));
        return true;
    }
    // No going back to an older signed update: the last signed installation recorded its
    // version in the work folder, where only the installer writes.
    QByteArray recorded;
    const QByteArray record = join(w.work, installedVersionName);
    if (readSmallFileAt(w.fd(), installedVersionName, kMaxVersionRecord, &recorded)) {
        recorded = recorded.trimmed();
        const std::optional<int> order = compareVersions(manifest.version(), recorded);
        if (!order) {
            qDebug().noquote() << kLog
                               << QStringLiteral("the record of the installed version %1 is "
                                                 "damaged; no signed update is installed until it "
                                                 "is mended or removed.")
                                      .arg(corvane::quotedForLog(record));
            failure = {FailureKind::VersionRecordUnusable, dec(w.relative(record)), 0,
                       QStringLiteral("it holds %1").arg(corvane::quotedForLog(recorded))};
            return false;
        }
        if (*order < 0) {
            qDebug().noquote() << kLog
                               << QStringLiteral("the update's version %1 is older than the "
                                                 "installed version %2; it is not installed.")
                                      .arg(QString::fromLatin1(manifest.version()),
                                           QString::fromLatin1(recorded));
            failure = {
                FailureKind::Older, QString(), 0,
                QStringLiteral("update %1, installed %2")
                    .arg(QString::fromLatin1(manifest.version()), QString::fromLatin1(recorded))};
            return false;
        }
        previousVersion = recorded;
    } else if (errno != ENOENT) {
        const QString problem = smallFileProblem(record, errno, kMaxVersionRecord);
        qDebug().noquote() << kLog
                           << QStringLiteral("the record of the installed version cannot be "
                                             "read: %1; no signed update is installed until it is "
                                             "mended or removed.")
                                  .arg(problem);
        failure = {FailureKind::VersionRecordUnusable, dec(w.relative(record)), 0, problem};
        return false;
    }
    qDebug().noquote() << kLog
                       << QStringLiteral("the update's version is %1.")
                              .arg(QString::fromLatin1(manifest.version()));
    return true;
}

qsizetype UpdateTransaction::Private::checkListed(const Tree &tree, const QByteArray &from,
                                                  const struct stat &st, bool *ok)
{
    if (!hasList || tree.listedAs.isEmpty())
        return -1;
    const QByteArray path = listedPath(tree, from);
    const qsizetype found = manifest.find(path);
    if (found < 0) {
        notAsListed(path, QStringLiteral("it is not in the list"));
        *ok = false;
        return -1;
    }
    seen[size_t(found)] = true;
    const Listed entry = manifest.entry(found);
    std::optional<Listed::Type> type;
    if (S_ISDIR(st.st_mode))
        type = Listed::Type::Folder;
    else if (S_ISREG(st.st_mode))
        type = Listed::Type::File;
    else if (S_ISLNK(st.st_mode))
        type = Listed::Type::Link;
    QString what;
    if (!type || *type != entry.type) {
        what = QStringLiteral("it is %1, listed as %2")
                   .arg(type ? typeName(*type) : QStringLiteral("a special file"),
                        typeName(entry.type));
    } else if (entry.type != Listed::Type::Link && (st.st_mode & 07777) != entry.mode) {
        what = QStringLiteral("its mode is %1, listed %2")
                   .arg(octal(st.st_mode & 07777), octal(entry.mode));
    } else if (entry.type == Listed::Type::File && st.st_size != entry.size) {
        what = QStringLiteral("its size is %1, listed %2").arg(st.st_size).arg(entry.size);
    } else if (entry.type == Listed::Type::Link) {
        QByteArray target(4096, Qt::Uninitialized);
        UniqueFd parent;
        QByteArray name;
        ssize_t n = -1;
        if (openParentBeneath(tree.sourceFd.get(), from, &parent, &name))
            n = ::readlinkat(parent.get(), name.constData(), target.data(), size_t(target.size()));
        target.truncate(qMax<ssize_t>(n, 0));
        if (n < 0 || target != entry.target)
            what = QStringLiteral("it points to %1, listed %2")
                       .arg(n < 0 ? errorText(errno) : corvane::quotedForLog(target),
                            corvane::quotedForLog(entry.target));
    }
    if (!what.isEmpty()) {
        notAsListed(path, what);
        *ok = false;
        return -1;
    }
    return found;
}

// Whether a listed entry is one that the run removes from the update before its switch (its
// tree's skip names it, or a folder above it): a run cut short after that removal left it
// missing, and the update is still whole.
bool UpdateTransaction::Private::clearedBefore(const ManifestEntry &entry) const
{
    for (const Tree &tree : trees) {
        if (!tree.skip || tree.listedAs.isEmpty() || !entry.path.startsWith(tree.listedAs + '/'))
            continue;
        const QByteArray from = entry.path.mid(tree.listedAs.size() + 1);
        mode_t mode = S_IFLNK | 0777;
        if (entry.type == ManifestEntry::Type::Folder)
            mode = S_IFDIR | entry.mode;
        else if (entry.type == ManifestEntry::Type::File)
            mode = S_IFREG | entry.mode;
        if (tree.skip(from, mode))
            return true;
        for (qsizetype slash = from.indexOf('/'); slash > 0; slash = from.indexOf('/', slash + 1)) {
            if (tree.skip(from.left(slash), S_IFDIR | 0755))
                return true;
        }
    }
    return false;
}

bool UpdateTransaction::Private::checkNothingMissing()
{
    if (!hasList)
        return true;
    bool ok = true;
    for (qsizetype i = 0; i < manifest.size(); ++i) {
        if (seen[size_t(i)])
            continue;
        const ManifestEntry entry = manifest.entry(i);
        if (!clearedBefore(entry)) {
            notAsListed(entry.path, QStringLiteral("it is listed but not in the update"));
            ok = false;
        }
    }
    return ok;
}

bool UpdateTransaction::Private::recordVersion()
{
    if (!listSigned)
        return true;
    // Held back: the old record keeps its file under a second name, for a fallback.
    if (hold && previousVersion) {
        using corvane::update::kHeldVersionName;
        if ((::unlinkat(w.fd(), kHeldVersionName, 0) != 0 && errno != ENOENT)
            || ::linkat(w.fd(), installedVersionName, w.fd(), kHeldVersionName, 0) != 0) {
            logFailure(kLog, "holding back of the installed version in", w.work, errno);
            return false;
        }
    }
    // Before the first rename: the record never lags behind what is installed.
    if (!replaceFileAt(w.fd(), installedVersionName, manifest.version() + '\n')) {
        logFailure(kLog, "recording of the installed version in", w.work, errno);
        return false;
    }
    return true;
}

void UpdateTransaction::Private::restoreVersion()
{
    if (!listSigned)
        return;
    // Replaced whole, never rewritten in place: a cut meanwhile must not leave a damaged
    // record, which would stop every signed update until it is mended.
    const bool restored = previousVersion
        ? replaceFileAt(w.fd(), installedVersionName, *previousVersion + '\n')
        : removeFileAt(w.fd(), installedVersionName);
    if (!restored)
        logFailure(kLog, "restoring of the installed version in", w.work, errno);
}
