#include "frontend.h"

int main(int argc, char **argv) { return zpm_main(argc, argv); }

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZPM_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(ZPM_ASAN)
#define ZPM_ASAN 1
#endif

#ifdef ZPM_ASAN
// Sanitized builds only.  The sanitizer's runtime (clang 14 on glibc 2.36)
// learns where the thread-local block of a library loaded at run time lies
// (libgnutls, under the https back end) by intercepting __tls_get_addr; when
// that block happens to start 16 bytes into a page it takes the 16 bytes
// before it, its own allocator's chunk header, for the block's size and
// start, and the leak check at exit then scans from a wild address and dies
// ("Tracer caught signal 11").  Without the interception the block is still
// found as an ordinary heap block reachable from the thread's descriptor, so
// leaks are reported as before.  ASAN_OPTIONS can still set it back.
extern "C" const char *__asan_default_options() {
    return "intercept_tls_get_addr=0";
}
#endif
