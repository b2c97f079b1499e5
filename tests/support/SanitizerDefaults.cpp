// The runtime options of the sanitizer builds (build-asan/, build-tsan/), compiled into every test
// executable there and into the application the end-to-end tests start, so that a test behaves
// the same under scripts/test, ctest or when started by hand. Options given in the environment (ASAN_OPTIONS, LSAN_OPTIONS, UBSAN_OPTIONS, TSAN_OPTIONS)
// still override these one by one. The runtimes call these hooks before main; they must stay
// trivial and unchecked.

#define QM_SANITIZER_HOOK \
  extern "C" __attribute__((used, visibility("default"), no_sanitize("address", "thread", "undefined")))

QM_SANITIZER_HOOK const char* __asan_default_options() {
  return
      // Callbacks and queued handlers that outlive the test that set them up write into its finished
      // stack frame; this reports that instead of letting it pass.
      "detect_stack_use_after_return=1:"
      // Constants defined in headers and used across files must not be read before they are made.
      "check_initialization_order=1:strict_init_order=1:"
      // The crash engine owns the fatal signals, as in a normal build: its tests fault on purpose
      // and check which earlier action and which alternate stack the fault reaches. The
      // sanitizer's own handlers and per-thread stacks, there first, would take those places and
      // turn each fault into a report and exit(1). A stray fault elsewhere still fails its test,
      // as the signal, without the sanitizer's report.
      "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:use_sigaltstack=0";
}

QM_SANITIZER_HOOK const char* __lsan_default_options() {
  // Leaks inside system libraries only; each entry of the file names the library and says why.
  return "suppressions=" QM_LSAN_SUPPRESSIONS;
}

QM_SANITIZER_HOOK const char* __ubsan_default_options() {
  // A report aborts the test (the build uses -fno-sanitize-recover); the stack says where from.
  return "print_stacktrace=1";
}

QM_SANITIZER_HOOK const char* __tsan_default_options() {
  return
      // Qt, GLib and libdbus are not built with the sanitizer: their locks and atomics are invisible
      // to it, so the memory their own threads touch through malloc, free and memcpy looked
      // unsynchronised (Qt's D-Bus thread against the main thread). Only our code is checked.
      "ignore_noninstrumented_modules=1:"
      // Both stacks of a lock-order inversion, not only the one that closed the cycle.
      "second_deadlock_stack=1:"
      // The fatal signals and alternate stacks stay the crash engine's, as under AddressSanitizer.
      "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:use_sigaltstack=0";
}
