/* memory-shim: preloaded into the core (LD_PRELOAD) to make it see another
 * machine. Settings come from the environment:
 *   DVRTEST_TOTALRAM  total RAM in bytes that sysinfo reports, or "fail";
 *   DVRTEST_STACK     "unlimited" or "fail": what getrlimit64 answers for the stack.
 * Everything else is passed to the C library unchanged. Only getrlimit64 is
 * replaced, the call the core makes: sanitizer runtimes call getrlimit while
 * they start, before anything else may run. */
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

int getrlimit64(__rlimit_resource_t resource, struct rlimit64* limit) {
  if (resource == RLIMIT_STACK && isSetTo("DVRTEST_STACK", "fail")) {
    errno = EPERM;
    return -1;
  }
  if (resource == RLIMIT_STACK && isSetTo("DVRTEST_STACK", "unlimited")) {
    limit->rlim_cur = limit->rlim_max = RLIM64_INFINITY;
    return 0;
  }
  int (*real)(__rlimit_resource_t, struct rlimit64*) =
      (int (*)(__rlimit_resource_t, struct rlimit64*))dlsym(RTLD_NEXT, "getrlimit64");
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  return real(resource, limit);
}
