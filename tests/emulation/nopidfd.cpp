// Preloaded into every program of an emulated test run (qemu-user 7.2).
// qemu answers the probe waitid(P_PIDFD, ...) as the host kernel does, yet refuses
// clone() with CLONE_PIDFD, so Qt's process launcher believes pidfds work and every
// QProcess start fails. Here the probe answers "not supported" and Qt falls back to
// fork(). On the device, where the kernel runs the program itself, nothing of this applies.
// The ThreadSanitizer build preloads it too: that runtime stops with a failed internal
// check at the clone() Qt makes for a pidfd, and follows fork() well. There it is built
// uninstrumented and stays preloaded in the children (the installer a test starts is a
// ThreadSanitizer build as well).

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/syscall.h>

namespace {

constexpr long kPidfd = 3; // P_PIDFD of <linux/wait.h>

#ifndef CORVANE_NOPIDFD_INHERITED
// The emulated program's children are mostly native helpers (scripts, python): the
// preload must not reach them, where the loader would refuse this library loudly.
__attribute__((constructor)) void forgetPreload()
{
    const char *preload = std::getenv("LD_PRELOAD");
    if (preload && std::strstr(preload, "nopidfd"))
        unsetenv("LD_PRELOAD");
}
#endif

} // namespace

extern "C" long syscall(long number, ...)
{
    va_list list;
    va_start(list, number);
    long a[6];
    for (long &argument : a)
        argument = va_arg(list, long);
    va_end(list);
    if (number == SYS_waitid && a[0] == kPidfd) {
        errno = ENOSYS;
        return -1;
    }
    using Syscall = long (*)(long, ...);
    static const auto real = reinterpret_cast<Syscall>(dlsym(RTLD_NEXT, "syscall"));
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
