#pragma once
// Large staged files are copied on a thread of their own. Such a copy mostly waits for
// the disk (it is written behind as it goes), while staging the other entries (links,
// small files, folders) needs the processor and the file system's metadata: the two
// overlap instead of taking turns.

#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <sys/stat.h>

class HashQueue;

// Copies what `in` holds from its start into `out`, `size` bytes as planned (the copy
// goes on to the file's end, whatever it holds now), in the kernel where it can and
// through `buffer` where it cannot. A large file is handed to the disk while it is
// copied. progressed(n) follows every chunk. 0, or the errno of the failed step, with
// *writing telling whether it was a write.
int copyFileContent(int in, int out, qint64 size, std::vector<char> &buffer,
                    const std::function<void(qint64)> &progressed, bool *writing);

class Copier
{
public:
    // Files from this size on are worth a copy on the copier's thread.
    static constexpr qint64 kLargeFile = qint64(4) * 1024 * 1024;

    struct Job
    {
        int in = -1;  // owned from now on, read from its start
        int out = -1; // owned from now on: the staged file, empty
        qint64 size = 0;
        mode_t mode = 0;
        struct timespec times[2] = {};
        QByteArray from;   // the update's file, for log lines
        QByteArray staged; // the staged file, for log lines
        // With a signed list: the staged bytes are then hashed (listedAs, listed SHA-256).
        QByteArray listedAs;
        QByteArray sha256;
    };
    struct Failure
    {
        const char *what; // "copy of", "writing a copy of", "setting permissions of", …
        QByteArray path;
        int error;
        bool reading; // the update's file could not be read
    };

    // maxQueued: copies waiting at most (each holds two descriptors).
    explicit Copier(HashQueue *hashes, size_t maxQueued = 64);
    ~Copier();
    Copier(const Copier &) = delete;
    Copier &operator=(const Copier &) = delete;

    // Queues a copy; false (nothing taken) when enough are waiting already: the caller
    // then copies it itself.
    bool add(Job job);
    // Bytes copied so far, as planned for the files that are done.
    qint64 bytesDone() const { return m_bytes.load(); }
    // Whether a copy failed: the caller stops staging.
    bool failed() const { return m_failed.load(); }
    // The copies still queued are only closed: staging failed elsewhere.
    void abandon() { m_failed = true; }
    // Waits until every queued copy is done, calling waiting() about every 50 ms
    // meanwhile; returns the failures, in the order the copies were queued.
    std::vector<Failure> finish(const std::function<void()> &waiting);

private:
    void work();
    void run(Job &job);

    HashQueue *m_hashes;
    const size_t m_maxQueued;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Job> m_jobs;
    bool m_busy = false;
    bool m_stop = false;
    std::vector<Failure> m_failures; // written by the thread under the mutex
    std::atomic<qint64> m_bytes{0};
    std::atomic<bool> m_failed{false}; // the rest are only closed
    std::vector<char> m_buffer;        // the thread's, where the kernel cannot copy
    std::thread m_thread;
};

// Copies job.in into job.out (see copyFileContent), gives it job.mode and job.times and,
// with a listed SHA-256, queues it on hashes; closes job.out (not job.in). The failure,
// if any. What Copier does with each job, and the caller with a file it copies itself.
std::optional<Copier::Failure> copyStagedFile(Copier::Job &job, std::vector<char> &buffer,
                                              HashQueue *hashes,
                                              const std::function<void(qint64)> &progressed);
