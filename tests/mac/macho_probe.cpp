// A dynamic library of the macOS toolchain with a data symbol that only its
// static symbol table names, as the JVM's class data sharing flag is named
// in libjvm: the Mach-O symbol walk is tried on it, laid out as the dynamic
// linker maps it.
#include <cstdint>

// Hidden, kept by "used" against dead stripping.
__attribute__((used, visibility("hidden"))) uint32_t TarsilProbeFlag = 0x54534c46;  // "TSLF"

extern "C" __attribute__((visibility("default"))) uint32_t tarsil_probe_flag() {
    return TarsilProbeFlag;
}
