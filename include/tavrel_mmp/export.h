#pragma once

/**
 * @file
 * Marks what the shared library exports: the C interface and the C++ facade. Everything else in
 * libtavrel_mmp.so is hidden, so hosts cannot come to depend on the library's inner classes.
 * Plain C, so that the C interface can include it. */
#if defined(__GNUC__) || defined(__clang__)
#define TAVREL_MMP_EXPORT __attribute__((visibility("default")))
/** A private member of an exported class that only the library itself calls: it stays inside. */
#define TAVREL_MMP_NO_EXPORT __attribute__((visibility("hidden")))
#else
#define TAVREL_MMP_EXPORT
#define TAVREL_MMP_NO_EXPORT
#endif
