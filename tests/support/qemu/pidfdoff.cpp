// Preloaded into the test programs of a cross build when they run under QEMU's
// user-mode emulation (tests/CMakeLists.txt), never into a product.
//
// Qt 5's QProcess starts a program with clone(CLONE_PIDFD) once a
// waitid(P_PIDFD) call shows that the kernel has process file descriptors.
// QEMU 7.2 passes that waitid on to the kernel but refuses CLONE_PIDFD with
// EINVAL, so every QProcess::start() of an emulated test would fail, and with
// it every test that runs vortanix-ctl, vortanix-bridge or the broker. Here
// that one waitid fails with ENOSYS, as on a kernel without process file
// descriptors, and Qt starts programs with a plain fork() instead.

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

#include <dlfcn.h>
#include <sys/syscall.h>

namespace {

// waitid's P_PIDFD (Linux 5.4); older C libraries do not name it.
constexpr long idTypePidfd = 3;

using SyscallFunction = long (*)(long, ...);

} // namespace

extern "C" long syscall(long number, ...)
{
    // The C library's syscall() reads six arguments whatever the call takes.
    va_list list;
    va_start(list, number);
    long arguments[6];
    for (long &argument : arguments)
        argument = va_arg(list, long);
    va_end(list);

    if (number == SYS_waitid && arguments[0] == idTypePidfd) {
        errno = ENOSYS;
        return -1;
    }
    static const auto next = reinterpret_cast<SyscallFunction>(dlsym(RTLD_NEXT, "syscall"));
    return next(number, arguments[0], arguments[1], arguments[2], arguments[3], arguments[4], arguments[5]);
}

// The programs a test starts natively (the broker, openssl) must not get an
// arm64 library to preload: the emulator passes it to the emulated programs
// on its own command line.
__attribute__((constructor)) static void forgetPreload()
{
    unsetenv("LD_PRELOAD");
}
