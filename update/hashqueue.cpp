#include "hashqueue.h"

#include "opensslfree.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// At most this many files wait (each holds an open descriptor); large ones up to the
// second figure, as the thread is better at them than a caller that stages meanwhile.
constexpr size_t kMaxQueued = 64;
constexpr size_t kMaxQueuedLarge = 256;
constexpr off_t kLargeJob = off_t(1) << 20;
// Files are read into these buffers rather than mapped: the copy out of the page cache
// costs less than a page fault per 64 KiB of a mapping (five times less for a comparison,
// half for a hash, measured on the benchmarks' machine), and a file cut short while read
// gives a short read, never a signal.
constexpr size_t kChunk = size_t(1) << 20;
constexpr size_t kFirstChunk = size_t(64) << 10;

// Buffers of the calling thread, kept for its life: a fresh megabyte for every file would
// come from the system zeroed, a page fault per page, which cost more than the reading.
unsigned char *buffer(int which)
{
    thread_local std::unique_ptr<unsigned char[]> buffers[2];
    if (!buffers[which])
        buffers[which].reset(new unsigned char[kChunk]);
    return buffers[which].get();
}

// pread, again where a signal cut it short. A regular file reads short only where it
// ends, so no second call is needed to be told so.
ssize_t readAt(int fd, unsigned char *data, size_t want, off_t offset)
{
    ssize_t n;
    while ((n = ::pread(fd, data, want, offset)) < 0 && errno == EINTR) {}
    return n;
}

bool finishDigest(EVP_MD_CTX *ctx, QByteArray *digest)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx, out, &length) != 1) {
        errno = EIO;
        return false;
    }
    *digest = QByteArray(reinterpret_cast<const char *>(out), int(length));
    return true;
}

} // namespace

bool sha256OfFile(int fd, QByteArray *digest)
{
    const corvane::ssl::DigestContext ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        errno = ENOMEM;
        return false;
    }
    unsigned char *data = buffer(0);
    for (off_t offset = 0;;) {
        const ssize_t n = readAt(fd, data, kChunk, offset);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (EVP_DigestUpdate(ctx.get(), data, size_t(n)) != 1) {
            errno = EIO;
            return false;
        }
        offset += n;
    }
    return finishDigest(ctx.get(), digest);
}

bool sameContent(int a, int b, qint64 size)
{
    unsigned char *left = buffer(0);
    unsigned char *right = buffer(1);
    for (off_t offset = 0;;) {
        // A small first read: most files that differ do so from their first bytes. The last
        // read asks for one byte more than the file should hold: it must not come.
        const qint64 rest = size - offset;
        const size_t want = size_t(std::min<qint64>(offset == 0 ? kFirstChunk : kChunk, rest + 1));
        const ssize_t n = readAt(a, left, want, offset);
        if (n < 0 || readAt(b, right, want, offset) != n)
            return false;
        if (qint64(n) > rest || (size_t(n) < want && qint64(n) != rest))
            return false; // longer or shorter than both were
        if (std::memcmp(left, right, size_t(n)) != 0)
            return false;
        if (qint64(n) == rest && qint64(want) > rest)
            return true; // and both end there
        offset += n;
    }
}

HashQueue::HashQueue(size_t descriptors)
    : m_maxQueued(std::clamp<size_t>(descriptors / 4, 1, kMaxQueued))
    , m_maxQueuedLarge(std::clamp<size_t>(descriptors, 1, kMaxQueuedLarge))
    , m_thread([this] { work(); })
{
}

HashQueue::~HashQueue()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
    for (const Job &job : m_jobs)
        ::close(job.fd);
}

void HashQueue::add(int fd, const QByteArray &path, const QByteArray &listed)
{
    // Read back without writing its access time (the installer owns every staged file).
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags | O_NOATIME);
    struct stat st;
    const off_t size = ::fstat(fd, &st) == 0 ? st.st_size : 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    Job job{fd, path, listed, m_added++, size};
    // Too many waiting: the caller hashes this one itself, unless it is large.
    if (m_jobs.size() >= (size >= kLargeJob ? m_maxQueuedLarge : m_maxQueued)) {
        run(job, lock);
        return;
    }
    m_jobs.push_back(std::move(job));
    lock.unlock();
    m_changed.notify_all();
}

bool HashQueue::finish(Mismatch *first)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // The caller hashes too rather than only waiting: both cores are busy to the end.
    for (;;) {
        if (!m_jobs.empty())
            runOne(lock);
        else if (m_busy == 0)
            break;
        else
            m_changed.wait(lock);
    }
    if (m_failed && first)
        *first = m_first;
    return !m_failed;
}

void HashQueue::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
        if (m_stop)
            return;
        runOne(lock);
    }
}

void HashQueue::runOne(std::unique_lock<std::mutex> &lock)
{
    // The largest first: what is left for the end is small, and the threads that hash it
    // then finish together.
    const auto largest = std::max_element(
        m_jobs.begin(), m_jobs.end(), [](const Job &a, const Job &b) { return a.size < b.size; });
    const Job job = *largest;
    m_jobs.erase(largest);
    run(job, lock);
}

void HashQueue::run(const Job &job, std::unique_lock<std::mutex> &lock)
{
    ++m_busy;
    // The first mismatch in the order of add() decides; later files are only closed.
    const bool skip = m_failed && job.index > m_firstIndex;
    lock.unlock();
    m_changed.notify_all();

    QByteArray digest;
    int error = 0;
    if (!skip && !sha256OfFile(job.fd, &digest))
        error = errno;
    ::close(job.fd);

    lock.lock();
    --m_busy;
    if (!skip && (error != 0 || digest != job.listed) && (!m_failed || job.index < m_firstIndex)) {
        m_failed = true;
        m_firstIndex = job.index;
        m_first = {job.path, error != 0 ? QString() : QString::fromLatin1(digest.toHex()),
                   job.listed.toHex(), error};
    }
    m_changed.notify_all();
}
