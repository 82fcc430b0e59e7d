# What the cross toolchain files share: Debian's cross compilers for TAVREL_MMP_CROSS_TRIPLET
# (g++-<triplet>) with the target's -dev packages installed beside the machine's own through
# multiarch (libsqlite3-dev:arm64, ...; scripts/setup.sh --cross installs them), and qemu-user to
# run what is built. The target's dynamic loader and libraries are then on this machine, where
# qemu finds them without a sysroot. Set by the toolchain files before they include this one:
#   TAVREL_MMP_CROSS_TRIPLET    aarch64-linux-gnu, arm-linux-gnueabihf
#   TAVREL_MMP_CROSS_PROCESSOR  aarch64, arm
#   TAVREL_MMP_CROSS_QEMU       qemu-aarch64, qemu-arm
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TAVREL_MMP_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${TAVREL_MMP_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TAVREL_MMP_CROSS_TRIPLET}-g++)
# Libraries, packages and CMake configurations from the target's multiarch folders only
# (/usr/lib/<triplet>); headers of the machine's own folders serve every architecture.
set(CMAKE_LIBRARY_ARCHITECTURE ${TAVREL_MMP_CROSS_TRIPLET})
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TAVREL_MMP_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
# ctest (and GoogleTest's discovery) runs the target's programs through qemu-user; the tests
# start their child processes through it too (binfmt_misc, which would do that by itself, is
# seldom there in a container).
find_program(TAVREL_MMP_CROSS_EMULATOR ${TAVREL_MMP_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVREL_MMP_CROSS_EMULATOR})
