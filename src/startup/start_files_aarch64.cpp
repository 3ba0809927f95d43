// What the C run-time's start files (crti.o, crtbeginS.o, ...) give a shared
// library, for the AArch64 library, which is linked without them: Debian's
// are not marked for BTI, and one unmarked object leaves the whole library
// unmarked, its pages unguarded. Of all they hold, the library needs the
// handle that names it to the C library (its fork handlers are registered
// under it) and, when it is unloaded, the call that drops what was
// registered under that handle. It has no _init or _fini and no
// transactional-memory clones.
extern "C" {
__attribute__((visibility("hidden"))) void *__dso_handle = &__dso_handle;
__attribute__((weak)) void __cxa_finalize(void *);
}

namespace {

__attribute__((destructor)) void drop_registrations() {
  if (__cxa_finalize) __cxa_finalize(&__dso_handle);
}

}  // namespace
