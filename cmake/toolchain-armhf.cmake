# 32-bit ARM, hard float (armhf, ARMv7): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(TAVREL_MMP_CROSS_TRIPLET arm-linux-gnueabihf)
set(TAVREL_MMP_CROSS_PROCESSOR arm)
set(TAVREL_MMP_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# GCC notes on every std:: container passed by value that its argument passing changed in GCC 7.1
# for this ABI; everything here is built with one compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
