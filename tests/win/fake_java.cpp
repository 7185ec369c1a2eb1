// Stands in for java.home\bin\java.exe when the DLL host test loads the agent:
// like the child JVM that builds the bootstrap jar, it writes a jar (an empty
// base-class list and the class com/acme/Served, whose bytes are the text
// "served-bytes") to the path of
// "-Dvesta.pelican.bootstrap_path=", and records its arguments (those of
// argument files expanded, as the launcher does), one per line, in
// "<that path>.args".
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

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

std::wstring wide(std::string_view text) {
    int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring converted(count, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), converted.data(), count);
    return converted;
}

// The arguments of an argument file as the launcher reads the library's:
// one quoted argument a line, with backslash escapes.
std::vector<std::wstring> argumentsIn(const std::wstring& file) {
    std::ifstream in{std::filesystem::path(file), std::ios::binary};
    std::vector<std::wstring> arguments;
    for (std::string line; std::getline(in, line);) {
        if (line.size() < 2 || line.front() != '"' || line.back() != '"') continue;
        std::string argument;
        for (size_t i = 1; i + 1 < line.size(); i++) {
            char c = line[i];
            if (c == '\\' && i + 2 < line.size()) {
                char next = line[++i];
                c = next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next == 'f' ? '\f' : next;
            }
            argument += c;
        }
        arguments.push_back(wide(argument));
    }
    return arguments;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> arguments;
    for (int i = 1; i < argc; i++) {
        std::wstring argument = argv[i];
        if (!argument.starts_with(L"@")) {
            arguments.push_back(argument);
            continue;
        }
        for (std::wstring& expanded : argumentsIn(argument.substr(1))) arguments.push_back(expanded);
    }
    std::wstring output;
    std::string recorded;
    for (std::wstring_view argument : arguments) {
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
