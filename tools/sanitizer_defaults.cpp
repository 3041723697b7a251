// Linked into every program of a sanitized build, so that a report from a
// velcot started by a test ends it with SIGABRT, which no expected exit
// status matches. ASAN_OPTIONS and UBSAN_OPTIONS still override these.
extern "C" const char* __asan_default_options() {
  return "abort_on_error=1:halt_on_error=1:detect_leaks=1:strict_string_checks=1";
}

extern "C" const char* __ubsan_default_options() {
  return "abort_on_error=1:halt_on_error=1:print_stacktrace=1";
}
