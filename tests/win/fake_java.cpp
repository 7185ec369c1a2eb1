// Stands in for java.home\bin\java.exe when the DLL host test loads the agent:
// like the child JVM that builds the bootstrap jar, it writes a jar (an empty
// base-class list and the class com/acme/Served, whose bytes are the text
// "served-bytes") to the path of
// "-Dvesta.pelican.bootstrap_path=", and records its arguments, one per
// line, in "<that path>.args".
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "support/zip_builder.h"

namespace {

constexpr std::wstring_view kOutputOption = L"-Dvesta.pelican.bootstrap_path=";

std::string utf8(std::wstring_view wide) {
    int count = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string text(count, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), count, nullptr,
                        nullptr);
    return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring output;
    std::string recorded;
    for (int i = 1; i < argc; i++) {
        std::wstring_view argument = argv[i];
        if (argument.starts_with(kOutputOption)) output = argument.substr(kOutputOption.size());
        recorded += utf8(argument) + "\n";
    }
    if (output.empty()) {
        fprintf(stderr, "fake java: no bootstrap path given\n");
        return 2;
    }
    printf("fake installer writing %s\n", utf8(output).c_str());
    std::ofstream(std::filesystem::path(output + L".args"), std::ios::binary) << recorded;
    std::ofstream jar(std::filesystem::path(output), std::ios::binary);
    jar << buildZip({{"tarsilbase-classes.txt", "-\n"}, {"com/acme/Served.class", "served-bytes"}});
    return jar ? 0 : 1;
}
