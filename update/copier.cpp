#include "copier.h"

#include "hashqueue.h"

#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr qint64 kMiB = qint64(1024) * 1024;
constexpr qint64 kCopyChunk = 4 * kMiB;
constexpr qint64 kWriteBehind = 32 * kMiB;
} // namespace

int copyFileContent(int in, int out, qint64 size, std::vector<char> &buffer,
                    const std::function<void(qint64)> &progressed, bool *writing)
{
    *writing = false;
    qint64 offset = 0;
    qint64 waited = 0;
    bool kernelCopy = true;
    for (;;) {
        ssize_t n = -1;
        if (kernelCopy) {
            n = ::copy_file_range(in, nullptr, out, nullptr, size_t(kCopyChunk), 0);
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
                if (put < 0) {
                    *writing = true;
                    return errno;
                }
                written += put;
            }
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return 0;
        // What lies more than kWriteBehind back is waited for: it never piles up in
        // memory, and the progress follows the disk.
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
        if (progressed)
            progressed(n);
    }
}

Copier::Copier(HashQueue *hashes, size_t maxQueued)
    : m_hashes(hashes)
    , m_maxQueued(qMax<size_t>(1, maxQueued))
    , m_thread([this] { work(); })
{
}

Copier::~Copier()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
    for (const Job &job : m_jobs) {
        ::close(job.in);
        ::close(job.out);
    }
}

bool Copier::add(Job job)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_jobs.size() >= m_maxQueued)
            return false;
        m_jobs.push_back(std::move(job));
    }
    m_changed.notify_all();
    return true;
}

std::vector<Copier::Failure> Copier::finish(const std::function<void()> &waiting)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_jobs.empty() || m_busy) {
        m_changed.wait_for(lock, std::chrono::milliseconds(50));
        if (waiting) {
            lock.unlock();
            waiting();
            lock.lock();
        }
    }
    return std::move(m_failures);
}

void Copier::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
        if (m_stop)
            return;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_busy = true;
        lock.unlock();
        run(job);
        lock.lock();
        m_busy = false;
        m_changed.notify_all();
    }
}

std::optional<Copier::Failure> copyStagedFile(Copier::Job &job, std::vector<char> &buffer,
                                              HashQueue *hashes,
                                              const std::function<void(qint64)> &progressed)
{
    std::optional<Copier::Failure> failure;
    bool writing = false;
    if (const int error
        = copyFileContent(job.in, job.out, job.size, buffer, progressed, &writing)) {
        failure = Copier::Failure{writing ? "writing a copy of" : "copy of", job.from, error,
                                  !writing && error == EIO};
    } else if (::fchmod(job.out, job.mode) != 0) {
        failure = Copier::Failure{"setting permissions of", job.staged, errno, false};
    } else {
        ::futimens(job.out, job.times);
        // What was written is read back and hashed, beside the next copies.
        if (hashes && !job.sha256.isEmpty())
            hashes->add(::fcntl(job.out, F_DUPFD_CLOEXEC, 0), job.listedAs, job.sha256);
    }
    // A write that failed late is told by close.
    if (::close(job.out) != 0 && !failure)
        failure = Copier::Failure{"writing of", job.staged, errno, false};
    job.out = -1;
    return failure;
}

void Copier::run(Job &job)
{
    qint64 copied = 0;
    std::optional<Failure> failure;
    // After a failure the rest are only closed: the staging is discarded anyway.
    if (m_failed.load()) {
        ::close(job.out);
    } else {
        failure = copyStagedFile(job, m_buffer, m_hashes, [&](qint64 n) {
            copied += n;
            m_bytes += n;
        });
    }
    ::close(job.in);
    // Counted as planned, whatever the file's size has become meanwhile.
    m_bytes += job.size - copied;
    if (failure) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_failures.push_back(*failure);
        m_failed = true;
    }
}
