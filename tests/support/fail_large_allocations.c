/* Preloaded into the core by tests: every heap allocation larger than
 * $DVRTEST_FAIL_ALLOCATIONS_ABOVE bytes fails as if memory were exhausted;
 * smaller ones go to the C library's allocator. Only for builds without a
 * sanitizer (those have their own allocator and options for this). */
#define _GNU_SOURCE
#include <errno.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* old, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);

static _Atomic size_t limit = 0; /* 0: not read yet */

static size_t allocationLimit(void) {
  size_t known = atomic_load(&limit);
  if (known) return known;
  const char* text = getenv("DVRTEST_FAIL_ALLOCATIONS_ABOVE");
  size_t value = text ? (size_t)strtoull(text, NULL, 10) : 0;
  if (value == 0) value = (size_t)-1;
  atomic_store(&limit, value);
  return value;
}

static int tooLarge(size_t size) {
  if (size <= allocationLimit()) return 0;
  errno = ENOMEM;
  return 1;
}

void* malloc(size_t size) { return tooLarge(size) ? NULL : __libc_malloc(size); }

void* calloc(size_t count, size_t size) {
  if (size && count > (size_t)-1 / size) return __libc_calloc(count, size);
  return tooLarge(count * size) ? NULL : __libc_calloc(count, size);
}

void* realloc(void* old, size_t size) { return tooLarge(size) ? NULL : __libc_realloc(old, size); }

void* memalign(size_t alignment, size_t size) { return tooLarge(size) ? NULL : __libc_memalign(alignment, size); }

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
  if (tooLarge(size)) return ENOMEM;
  void* p = __libc_memalign(alignment, size);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
