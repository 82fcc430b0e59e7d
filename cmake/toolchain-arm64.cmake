# 64-bit ARM (arm64, aarch64): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(TAVREL_MMP_CROSS_TRIPLET aarch64-linux-gnu)
set(TAVREL_MMP_CROSS_PROCESSOR aarch64)
set(TAVREL_MMP_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
