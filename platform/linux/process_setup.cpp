#include <curl/curl.h>
#include <openssl/crypto.h>

#include <mutex>

#include "platform/library_thread.h"

namespace tavrel_mmp::platform {

void ensureProcessSetup() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Keep OpenSSL from tearing itself down in an atexit handler while a transfer may still be
    // running on a library thread; the process is ending anyway.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

}  // namespace tavrel_mmp::platform
