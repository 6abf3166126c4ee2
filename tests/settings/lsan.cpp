// The font configuration library that Qt loads keeps a few blocks until the process ends;
// they are not ours to release.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
