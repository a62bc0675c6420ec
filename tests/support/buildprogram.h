#ifndef BUILDPROGRAM_H
#define BUILDPROGRAM_H

#include <QProcess>
#include <QStringList>

// How a test starts a program of this build (vortanix-ctl, vortanix-bridge,
// ...). In a cross build those programs are for another machine: they run
// under the emulator CTest runs the test programs with
// (CMAKE_CROSSCOMPILING_EMULATOR, e.g. qemu-aarch64-static). In a native
// build they run as they are. Partners that are not ours (the broker,
// openssl, setpriv) are started directly.
namespace BuildProgram {

// The emulator and its arguments; empty in a native build.
QStringList emulator();

// True in a cross build, where the tests themselves run under the emulator:
// what the kernel would do for a request, a user-mode emulator may not
// (QEMU answers the RS-485 ioctls with ENOSYS), and a process shows as the
// emulator (its name in /proc).
bool emulated();

// True when the system leaves the kernel's RS-485 request (TIOCGRS485) out
// and answers ENOSYS, as QEMU 7.2's user-mode emulator does; newer QEMU
// passes it to the driver, which then answers as natively (a pseudo-terminal:
// ENOTTY).
bool rs485RequestUnsupported();

// The command line, program first, that runs `program` with `arguments`.
QStringList commandLine(const QString &program, const QStringList &arguments = {});

// The command line that runs `program` with `arguments` as another user
// (nobody), who may not reach the build folder (a checkout in /root, mode
// 0700): the program is copied into `folder`, which is opened to every user,
// and so is the library the emulator preloads, which under emulation it opens
// itself, as that user. Empty when a copy fails.
QStringList commandLineForAnyUser(const QString &folder, const QString &program, const QStringList &arguments = {});

// Starts `program` with `arguments` in `process`.
void start(QProcess &process, const QString &program, const QStringList &arguments);

} // namespace BuildProgram

#endif // BUILDPROGRAM_H
