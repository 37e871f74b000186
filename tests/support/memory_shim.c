/* memory-shim: preloaded into the core (LD_PRELOAD) to make it see another
 * machine. Settings come from the environment:
 *   DVRTEST_TOTALRAM  total RAM in bytes that sysinfo reports, or "fail";
 *   DVRTEST_STACK     "unlimited" or "fail": what getrlimit answers for the stack.
 * Everything else is passed to the C library unchanged. */
#undef _FILE_OFFSET_BITS /* getrlimit and getrlimit64 are both defined below */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>

static int isSetTo(const char* name, const char* value) {
  const char* set = getenv(name);
  return set && strcmp(set, value) == 0;
}

int sysinfo(struct sysinfo* info) {
  if (isSetTo("DVRTEST_TOTALRAM", "fail")) {
    errno = EPERM;
    return -1;
  }
  int (*real)(struct sysinfo*) = (int (*)(struct sysinfo*))dlsym(RTLD_NEXT, "sysinfo");
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  const int result = real(info);
  const char* ram = getenv("DVRTEST_TOTALRAM");
  if (result == 0 && ram) {
    const unsigned long long bytes = strtoull(ram, NULL, 0);
    unsigned int unit = 1;
    while (bytes / unit > (unsigned long)-1) unit *= 2; /* totalram is 32 bits wide on 32-bit targets */
    info->totalram = (unsigned long)(bytes / unit);
    info->mem_unit = unit;
  }
  return result;
}

/* 0 when the stack limit is to be faked (done), -1 when the call fails. */
static int fakeStack(int resource, rlim64_t* soft, rlim64_t* hard) {
  if (resource != RLIMIT_STACK) return 1;
  if (isSetTo("DVRTEST_STACK", "fail")) {
    errno = EPERM;
    return -1;
  }
  if (isSetTo("DVRTEST_STACK", "unlimited")) {
    *soft = *hard = RLIM64_INFINITY;
    return 0;
  }
  return 1;
}

int getrlimit64(__rlimit_resource_t resource, struct rlimit64* limit) {
  rlim64_t soft, hard;
  const int faked = fakeStack(resource, &soft, &hard);
  if (faked <= 0) {
    if (faked == 0) {
      limit->rlim_cur = soft;
      limit->rlim_max = hard;
    }
    return faked;
  }
  int (*real)(__rlimit_resource_t, struct rlimit64*) =
      (int (*)(__rlimit_resource_t, struct rlimit64*))dlsym(RTLD_NEXT, "getrlimit64");
  return real ? real(resource, limit) : -1;
}

int getrlimit(__rlimit_resource_t resource, struct rlimit* limit) {
  rlim64_t soft, hard;
  const int faked = fakeStack(resource, &soft, &hard);
  if (faked <= 0) {
    if (faked == 0) {
      limit->rlim_cur = (rlim_t)soft;
      limit->rlim_max = (rlim_t)hard;
    }
    return faked;
  }
  int (*real)(__rlimit_resource_t, struct rlimit*) =
      (int (*)(__rlimit_resource_t, struct rlimit*))dlsym(RTLD_NEXT, "getrlimit");
  return real ? real(resource, limit) : -1;
}
