#pragma once
// The staged files of a signed update are hashed on a thread of their own while the next
// files are staged: what is installed is what was checked (the staged bytes themselves,
// read back from the staged file), and the hashing costs little of the time a technician
// waits, as it runs beside the copying on another core.

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <sys/types.h>

class HashQueue
{
public:
    struct Mismatch
    {
        QByteArray path;   // as listed
        QString found;     // the staged file's SHA-256 (hex), or why it could not be read
        QByteArray listed; // hex
        int error = 0;     // when it could not be read
    };

    // descriptors: how many the waiting files may hold open at most.
    explicit HashQueue(size_t descriptors = 256);
    ~HashQueue();
    HashQueue(const HashQueue &) = delete;
    HashQueue &operator=(const HashQueue &) = delete;

    // Queues a staged file: fd (owned from now on) is read from its start to its end and
    // hashed; the result must be `listed` (32 bytes). While many files wait, the caller
    // hashes its own at once (a large one only when very many wait).
    void add(int fd, const QByteArray &path, const QByteArray &listed);
    // Waits until every queued file is hashed. False with the first mismatch (in the
    // order of add()) when any file differs or could not be read.
    bool finish(Mismatch *first);

private:
    struct Job
    {
        int fd;
        QByteArray path;
        QByteArray listed;
        quint64 index; // in the order of add()
        off_t size;
    };
    void work();
    // Takes the largest job and does it.
    void runOne(std::unique_lock<std::mutex> &lock);
    // Hashes job's file, the lock released meanwhile, and records a mismatch.
    void run(const Job &job, std::unique_lock<std::mutex> &lock);

    const size_t m_maxQueued;
    const size_t m_maxQueuedLarge;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Job> m_jobs;
    int m_busy = 0; // jobs being hashed
    bool m_stop = false;
    bool m_failed = false;
    quint64 m_added = 0;
    quint64 m_firstIndex = 0;
    Mismatch m_first;
    std::thread m_thread;
};

// SHA-256 of what an open file holds from its start (its offset stays). False with errno
// set when it cannot be read.
bool sha256OfFile(int fd, QByteArray *digest);

// Whether two open files both hold exactly `size` bytes (as they were looked at), the same
// ones (read from their starts); false also when either cannot be read or has grown.
bool sameContent(int a, int b, qint64 size);
