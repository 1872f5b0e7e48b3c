#pragma once
// An open file descriptor that is closed when it goes out of scope (errno kept, so a
// failure can still be reported after it).

#include <cerrno>

#include <unistd.h>

namespace corvane::update {

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd = -1)
        : m_fd(fd)
    {
    }
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    int get() const { return m_fd; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0) {
            const int error = errno;
            ::close(m_fd);
            errno = error;
        }
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

} // namespace corvane::update
