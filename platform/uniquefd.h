#pragma once
// The one owner type of an open file descriptor: closed when its owner goes, moved but
// never copied. Every descriptor the installer keeps (folders it resolves names below,
// files it reads or stages) lives in one of these.

#include <cerrno>

#include <unistd.h>

namespace corvane::fs {

class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : m_fd(fd)
    {
    }
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept
        : m_fd(other.release())
    {
    }
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (m_fd >= 0) {
            // errno is kept: a failure is often reported after its descriptor is closed.
            const int error = errno;
            ::close(m_fd);
            errno = error;
        }
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

} // namespace corvane::fs
