#include "transaction_p.h"

#include <cerrno>
#include <vector>

#include <unistd.h>

using namespace corvane::fs;

namespace {
constexpr qint64 kMiB = qint64(1024) * 1024;
constexpr qint64 kCopyChunk = 4 * kMiB;
constexpr qint64 kWriteBehind = 32 * kMiB;
} // namespace

bool UpdateTransaction::Private::stage()
{
    for (const QByteArray &folder : {w.staging, w.old}) {
        if (::mkdir(folder.constData(), 0700) != 0) {
            failIo(FailureKind::WriteFailed, "creation of folder", folder, errno);
            discard();
            return false;
        }
    }
    bool ok = true;
    for (const Stage &s : stages) {
        switch (s.kind) {
        case Stage::Folder:
            // Private until it is complete; its own permissions come with FinishFolder.
            if (::mkdir(s.staged.constData(), 0700) != 0)
                ok = failIo(FailureKind::WriteFailed, "creation of folder", s.staged, errno);
            break;
        case Stage::FinishFolder:
            if (::chmod(s.staged.constData(), s.st.st_mode & 07777) != 0)
                ok = failIo(FailureKind::WriteFailed, "setting permissions of", s.staged, errno);
            break;
        case Stage::File:
            ok = stageFile(s);
            break;
        case Stage::Link:
            ok = stageLink(s);
            break;
        }
        if (!ok)
            break;
    }
    // Nothing is switched before every staged byte is on disk.
    if (ok && !syncFolder(w.work, true))
        ok = failIo(FailureKind::WriteFailed, "flush to disk of", w.staging, errno);
    if (!ok)
        discard();
    return ok;
}

bool UpdateTransaction::Private::stageFile(const Stage &s)
{
    if (s.hardLink && !linksRefused) {
        if (::link(s.source.constData(), s.staged.constData()) == 0) {
            advance(s.st.st_size, 1);
            return true;
        }
        // A file system without hard links (or one that refuses them here) gets copies.
        if (errno != EXDEV && errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP)
            return failIo(FailureKind::WriteFailed, "staging of", s.source, errno);
        linksRefused = true;
    }
    return copyFile(s);
}

bool UpdateTransaction::Private::copyFile(const Stage &s)
{
    // Not blocking: a pipe put in place of a file must not stop the run.
    const int in = ::open(s.source.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0)
        return failIo(FailureKind::ReadFailed, "opening of", s.source, errno);
    struct stat st;
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        qDebug() << kLog << "neither file, folder nor link:" << dec(s.source);
        fail(FailureKind::SpecialFile, s.source, 0);
        return false;
    }
    const int out
        = ::open(s.staged.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        return failIo(FailureKind::WriteFailed, "creation of", s.staged, error);
    }
    const qint64 before = state.bytesDone;
    bool ok = copyContent(in, out, s.source, st.st_size);
    ::close(in);
    if (ok && ::fchmod(out, st.st_mode & 07777) != 0)
        ok = failIo(FailureKind::WriteFailed, "setting permissions of", s.staged, errno);
    if (ok) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out, times);
    }
    if (::close(out) != 0 && ok)
        ok = failIo(FailureKind::WriteFailed, "writing of", s.staged, errno);
    // Counted as planned, whatever the file's size has become meanwhile.
    state.bytesDone = before;
    advance(s.st.st_size, 1);
    return ok;
}

bool UpdateTransaction::Private::copyContent(int in, int out, const QByteArray &from, qint64 size)
{
    qint64 offset = 0;
    qint64 waited = 0;
    bool kernelCopy = true;
    std::vector<char> buffer;
    for (;;) {
        const size_t chunk = size_t(kCopyChunk);
        ssize_t n = -1;
        if (kernelCopy) {
            n = ::copy_file_range(in, nullptr, out, nullptr, chunk, 0);
            if (n < 0
                && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
        } else {
            buffer.resize(size_t(kMiB));
            n = ::read(in, buffer.data(), buffer.size());
            for (ssize_t written = 0; n > 0 && written < n;) {
                const ssize_t put = ::write(out, buffer.data() + written, size_t(n - written));
                if (put < 0 && errno == EINTR)
                    continue;
                if (put < 0)
                    return failIo(FailureKind::WriteFailed, "writing a copy of", from, errno);
                written += put;
            }
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failIo(errno == EIO ? FailureKind::ReadFailed : FailureKind::WriteFailed,
                          "copy of", from, errno);
        if (n == 0)
            return true;
        // A large file is handed to the disk while it is copied, and what lies more than
        // kWriteBehind back is waited for: it never piles up in memory, and the progress
        // follows the disk.
        if (size > kCopyChunk) {
            ::sync_file_range(out, offset, n, SYNC_FILE_RANGE_WRITE);
            const qint64 settled = offset + n - kWriteBehind;
            if (settled > waited) {
                ::sync_file_range(out, waited, settled - waited,
                                  SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE
                                      | SYNC_FILE_RANGE_WAIT_AFTER);
                waited = settled;
            }
        }
        offset += n;
        advance(n, 0);
    }
}

bool UpdateTransaction::Private::stageLink(const Stage &s)
{
    QByteArray target(4096, Qt::Uninitialized);
    const ssize_t n = ::readlink(s.source.constData(), target.data(), size_t(target.size()));
    if (n < 0 || n >= target.size())
        return failIo(FailureKind::ReadFailed, "reading of link", s.source,
                      n < 0 ? errno : ENAMETOOLONG);
    target.truncate(n);
    advance(0, 1);
    if (::symlink(target.constData(), s.staged.constData()) != 0)
        return failIo(FailureKind::WriteFailed, "creation of link", s.staged, errno);
    return true;
}
