#include "execfd.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::fs {

namespace {

void tellAndExit(int pipeFd, int error)
{
    // The parent sees the error, or the end of the pipe without one; nothing else to do.
    (void)!::write(pipeFd, &error, sizeof error);
    ::_exit(127);
}

} // namespace

pid_t startFromFd(int fd, const QByteArray &name, bool detached, int *error)
{
    *error = 0;
    char head[2] = {};
    const bool script = ::pread(fd, head, sizeof head, 0) == 2 && head[0] == '#' && head[1] == '!';
    char *arguments[] = {const_cast<char *>(name.constData()), nullptr};
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        *error = errno;
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here on: the parent has threads.
        ::close(report[0]);
        ::setsid();
        if (detached) {
            const pid_t handedOver = ::fork();
            if (handedOver < 0)
                tellAndExit(report[1], errno);
            if (handedOver > 0)
                ::_exit(0);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction standard = {};
        standard.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal)
            ::sigaction(signal, &standard, nullptr);
        if (script)
            ::fcntl(fd, F_SETFD, 0);
        ::fexecve(fd, arguments, environ);
        tellAndExit(report[1], errno);
    }
    const int forkError = errno;
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        *error = forkError;
        return -1;
    }
    if (detached) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    }
    int failed = 0;
    ssize_t got;
    while ((got = ::read(report[0], &failed, sizeof failed)) < 0 && errno == EINTR) {}
    ::close(report[0]);
    if (got == ssize_t(sizeof failed)) {
        if (!detached) {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
        }
        *error = failed;
        return -1;
    }
    return detached ? 0 : pid;
}

} // namespace corvane::fs
