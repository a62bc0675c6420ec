# Cross build for 64-bit ARM gateways (Debian arm64) on an amd64 Debian machine
# with the arm64 architecture added (scripts/setup.sh cross):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux-gnu.cmake
# or simply scripts/cross-build.sh arm64. Qt's code generators (moc, uic) stay
# native: Debian's arm64 Qt names the amd64 ones of qtbase5-dev-tools.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VORTANIX_TARGET_TRIPLET aarch64-linux-gnu)
# The package's architecture, as dpkg names it.
set(VORTANIX_DEB_ARCHITECTURE arm64)

set(CMAKE_C_COMPILER ${VORTANIX_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VORTANIX_TARGET_TRIPLET}-g++)

# Libraries and headers come from the arm64 multiarch folders of the host
# (libc6:arm64, qtbase5-dev:arm64, ...), programs from the host itself.
set(CMAKE_LIBRARY_ARCHITECTURE ${VORTANIX_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${VORTANIX_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_PREFIX_PATH /usr/lib/${VORTANIX_TARGET_TRIPLET}/cmake)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VORTANIX_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# Test programs run as arm64 programs under user-mode QEMU (no binfmt_misc
# needed); the arm64 loader and libraries are those of the multiarch folders.
find_program(VORTANIX_QEMU qemu-aarch64-static qemu-aarch64)
if(VORTANIX_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VORTANIX_QEMU})
endif()
