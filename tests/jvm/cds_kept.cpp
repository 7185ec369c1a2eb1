// Linked into a test-only copy of the agent library with
// --wrap=find_symbol: the JVM's "UseSharedSpaces" flag is never found, so
// class data sharing stays on and the emulation's own check must stop the
// JVM.
extern "C" void* __wrap__Z11find_symbolPKvPKc(const void*, const char*) {
    return nullptr;
}
