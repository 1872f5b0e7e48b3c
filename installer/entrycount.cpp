#include "entrycount.h"

#include "devicefiles.h"
#include "posixfs.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>

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
    const QByteArray digits = text.endsWith('\n') ? text.chopped(1) : text;
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

EntryCount::EntryCount(const QString &workFolder)
    : m_folder(enc(workFolder))
    , m_file(join(m_folder, corvane::device::wrongEntryCountName))
    , m_temporary(m_file + ".new")
{
}

QString EntryCount::filePath() const
{
    return dec(m_file);
}

int EntryCount::load() const
{
    QByteArray text;
    if (!readSmallFile(m_file, kMaxFileSize, &text)) {
        const int error = errno;
        if (error == ENOENT)
            return 0;
        qDebug().noquote() << kLog << failureText("reading of", m_file, error) + cautiousNote();
        return cautiousCount();
    }
    const int count = parseCount(text);
    if (count < 0) {
        qDebug().noquote() << kLog
                           << corvane::quotedForLog(m_file) + QStringLiteral(" holds no count")
                + cautiousNote();
        return cautiousCount();
    }
    return count;
}

bool EntryCount::store(int count) const
{
    if (::mkdir(m_folder.constData(), 0700) != 0 && errno != EEXIST) {
        logFailure(kLog, "creation of folder", m_folder, errno);
        return false;
    }
    if (count <= 0) {
        if (::unlink(m_file.constData()) != 0 && errno != ENOENT) {
            logFailure(kLog, "removal of", m_file, errno);
            return false;
        }
    } else {
        // What a kill left in the temporary's place is removed, never written through.
        if (::unlink(m_temporary.constData()) != 0 && errno != ENOENT) {
            logFailure(kLog, "removal of", m_temporary, errno);
            return false;
        }
        if (!writeFlushed(m_temporary, QByteArray::number(count) + '\n')) {
            logFailure(kLog, "writing of", m_temporary, errno);
            (void)::unlink(m_temporary.constData());
            return false;
        }
        if (::rename(m_temporary.constData(), m_file.constData()) != 0) {
            logFailure(kLog, "renaming of", m_temporary, errno);
            (void)::unlink(m_temporary.constData());
            return false;
        }
    }
    if (!syncFolder(m_folder)) {
        logFailure(kLog, "flushing of folder", m_folder, errno);
        return false;
    }
    return true;
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
