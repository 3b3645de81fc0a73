/* Preloaded into a test's child: while the gate is closed, every malloc, calloc and realloc
 * on a thread other than the process's first one fails, as it would for a worker when the
 * process has run out of memory. The first thread, the interpreter's, keeps allocating, so
 * the test can go on and see what the call raised. */
#define _GNU_SOURCE
#include <stdatomic.h>
#include <stddef.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);

static atomic_int closed;

void malloc_gate_close(int on) { atomic_store(&closed, on); }

static int refused(void) {
  return atomic_load_explicit(&closed, memory_order_relaxed) && gettid() != getpid();
}

void* malloc(size_t n) { return refused() ? NULL : __libc_malloc(n); }
void* calloc(size_t n, size_t size) { return refused() ? NULL : __libc_calloc(n, size); }
void* realloc(void* p, size_t n) { return refused() && n != 0 ? NULL : __libc_realloc(p, n); }
