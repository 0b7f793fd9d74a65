// ThreadSanitizer reads this at start-up in the tsan preset (the runtime
// declares it weak; other builds ignore it).
//
// cpp-httplib comes from Debian as a shared library built without TSan: the
// synchronisation of its worker pool happens in code TSan cannot see, so the
// memcpy/memcmp it intercepts there look like races. Only reports whose
// interceptor was called from inside that library are silenced; the loopback
// servers of the tests are its only users.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n";
}
