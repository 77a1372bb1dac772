// The wheel's extension modules ask glibc only for what glibc 2.17 had.
// Built into them with CSV_MENDLE_STATIC_RUNTIME alone, each linked with
// --wrap=NAME for the names below: every reference to NAME, from this
// project or from the static libstdc++, lands on __wrap_NAME here, which
// goes to the oldest version of NAME that glibc still exports, with the
// same meaning.  The headers of a newer glibc bind each call to a newer
// version, whose only difference is noted beside it.
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>

extern "C" {
void* csv_mendle_memcpy_2_2_5(void*, const void*, std::size_t);
double csv_mendle_log_2_2_5(double);
int csv_mendle_xstat_2_2_5(int, const char*, struct stat*);
int csv_mendle_fxstat_2_2_5(int, int, struct stat*);
unsigned long csv_mendle_strtoul_2_2_5(const char*, char**, int);
int csv_mendle_pthread_create_2_2_5(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int csv_mendle_pthread_join_2_2_5(pthread_t, void**);
}
__asm__(".symver csv_mendle_memcpy_2_2_5,memcpy@GLIBC_2.2.5");
__asm__(".symver csv_mendle_log_2_2_5,log@GLIBC_2.2.5");
__asm__(".symver csv_mendle_xstat_2_2_5,__xstat@GLIBC_2.2.5");
__asm__(".symver csv_mendle_fxstat_2_2_5,__fxstat@GLIBC_2.2.5");
__asm__(".symver csv_mendle_strtoul_2_2_5,strtoul@GLIBC_2.2.5");
__asm__(".symver csv_mendle_pthread_create_2_2_5,pthread_create@GLIBC_2.2.5");
__asm__(".symver csv_mendle_pthread_join_2_2_5,pthread_join@GLIBC_2.2.5");

namespace {
// The layout of struct stat that __xstat and __fxstat fill (x86-64).
constexpr int stat_version = 1;
}  // namespace

extern "C" {

// 2.14: memcpy may no longer copy overlapping ranges; the old one is memmove.
void* __wrap_memcpy(void* to, const void* from, std::size_t size) {
  return csv_mendle_memcpy_2_2_5(to, from, size);
}

// 2.29: log no longer goes through the SVID error handling; the values are
// the same.
double __wrap_log(double x) { return csv_mendle_log_2_2_5(x); }

// 2.33: stat and fstat became functions; before they were inline calls of
// __xstat and __fxstat.
int __wrap_stat(const char* path, struct stat* out) {
  return csv_mendle_xstat_2_2_5(stat_version, path, out);
}
int __wrap_fstat(int fd, struct stat* out) {
  return csv_mendle_fxstat_2_2_5(stat_version, fd, out);
}

// 2.38: the C23 strtoul also reads "0b" prefixes when base is 0 or 2.  Its
// one caller here is libstdc++ reading GLIBCXX_TUNABLES in base 10.
unsigned long __wrap___isoc23_strtoul(const char* text, char** end, int base) {
  return csv_mendle_strtoul_2_2_5(text, end, base);
}

// 2.34: the thread functions moved from libpthread into libc, under a new
// version; the old one stays, the same function.
int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                          void* (*start)(void*), void* argument) {
  return csv_mendle_pthread_create_2_2_5(thread, attributes, start, argument);
}
int __wrap_pthread_join(pthread_t thread, void** result) {
  return csv_mendle_pthread_join_2_2_5(thread, result);
}

// 2.36: arc4random is new; libstdc++'s atomic waits draw their spin
// back-off from it.  The kernel's getrandom gives the same (a failed call
// leaves a fixed value, which only makes the back-off less varied).
unsigned int __wrap_arc4random() {
  unsigned int value = 0x9E3779B9u;
  static_cast<void>(syscall(SYS_getrandom, &value, sizeof value, 0));
  return value;
}

// 2.32: libstdc++ skips atomic operations while this says the process has
// one thread.  Saying never is always right, only slower.
char __wrap___libc_single_threaded = 0;

}  // extern "C"
