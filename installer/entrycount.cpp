#include "entrycount.h"

#include "devicefiles.h"
#include "posixfs.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvane::fs;

namespace {
constexpr char kLog[] = "Wrong entries:";
// Refusals in a row that pass without a pause; each further one shuts the field for a
// pause that starts at kFirstPauseMs and doubles up to kLongestPauseMs.
constexpr int kFreeRefusals = 3;
constexpr int kFirstPauseMs = 1000;
constexpr int kLongestPauseMs = 60000;
// "123456789\n" at most: a count of wrong entries never needs more, at a minute each.
constexpr int kMaxDigits = 9;
constexpr qint64 kMaxFileSize = kMaxDigits + 1;

// The count in text as store() writes it, or -1.
int parseCount(const QByteArray &text)
{
    // The line feed comes last: a count that a cut stopped in the middle is no count.
    if (!text.endsWith('\n'))
        return -1;
    const QByteArray digits = text.chopped(1);
    if (digits.isEmpty() || digits.size() > kMaxDigits)
        return -1;
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    return digits.toInt();
}

QString cautiousNote()
{
    return QStringLiteral("; counted as %1 (the longest pause).").arg(EntryCount::cautiousCount());
}
} // namespace

const QByteArray kFile = corvane::device::wrongEntryCountName;

EntryCount::EntryCount(const WorkFolder &work)
    : m_work(work)
{
}

QString EntryCount::filePath() const
{
    return dec(join(m_work.work, kFile));
}

int EntryCount::load() const
{
    const QByteArray file = join(m_work.work, kFile);
    if (!m_work.isOpen()) {
        qDebug().noquote() << kLog << failureText("reading of", file, EBADF) + cautiousNote();
        return cautiousCount();
    }
    if (m_work.wasMovedAside()) {
        // Whoever could replace the work folder could have removed a count in it.
        qDebug().noquote() << kLog
                           << QStringLiteral("the work folder was made afresh") + cautiousNote();
        return cautiousCount();
    }
    QByteArray text;
    if (!readSmallFileAt(m_work.fd(), kFile, kMaxFileSize, &text)) {
        const int error = errno;
        if (error == ENOENT) {
            keepFile();
            return 0;
        }
        qDebug().noquote() << kLog << failureText("reading of", file, error) + cautiousNote();
        return cautiousCount();
    }
    const int count = parseCount(text);
    if (count < 0) {
        qDebug().noquote() << kLog
                           << corvane::quotedForLog(file) + QStringLiteral(" holds no count")
                + cautiousNote();
        return cautiousCount();
    }
    return count;
}

bool EntryCount::store(int count) const
{
    const int fd = m_work.fd();
    const QByteArray file = join(m_work.work, kFile);
    if (!m_work.isOpen()) {
        logFailure(kLog, "writing of", file, EBADF);
        return false;
    }
    // Zero is written too, not removed: the file stays for the fallback below.
    const QByteArray text = QByteArray::number(std::max(count, 0)) + '\n';
    if (replaceFileAt(fd, kFile, text))
        return true;
    const int error = errno;
    // A flash disk whose inodes someone used up takes no temporary; the count file it
    // already has is rewritten in place then. A cut meanwhile leaves a file that reads as
    // the longest pause, so still no guess is taken back.
    if ((error == ENOSPC || error == EDQUOT) && rewriteFileInPlaceAt(fd, kFile, text)) {
        qDebug().noquote() << kLog
                           << QStringLiteral("no new file can be made on the flash disk (%1): "
                                             "the count was rewritten in place.")
                                  .arg(errorText(error));
        return true;
    }
    logFailure(kLog, "writing of", file, error);
    return false;
}

void EntryCount::keepFile() const
{
    struct stat st;
    if (!m_work.isOpen() || ::fstatat(m_work.fd(), kFile.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
        || errno != ENOENT)
        return;
    if (!replaceFileAt(m_work.fd(), kFile, "0\n"))
        logFailure(kLog, "making of", join(m_work.work, kFile), errno);
}

int EntryCount::pauseMs(int refusals)
{
    if (refusals <= kFreeRefusals)
        return 0;
    const int doublings = std::min(refusals - kFreeRefusals - 1, 16);
    return int(std::min<qint64>(qint64(kFirstPauseMs) << doublings, kLongestPauseMs));
}

int EntryCount::cautiousCount()
{
    int count = kFreeRefusals + 1;
    while (pauseMs(count) < kLongestPauseMs)
        ++count;
    return count;
}
