// The child process of the Windows exec tests. It prints every argument after
// the first, one per line as "[argument]", in UTF-8, then works through the
// arguments that are commands, and exits with the code given first:
//   argv_child EXIT_CODE [ARGUMENT | --env=NAME | --stderr=TEXT | --lines=N | --sleep=MS | --spawn]...
//   --env=NAME     prints "NAME=value", or "NAME unset"
//   --stderr=TEXT  writes TEXT and a line end to standard error
//   --lines=N      prints the lines "line 1" to "line N"
//   --sleep=MS     sleeps that long before exiting
//   --forever      writes 64 KiB lines without end
//   --spawn        starts "argv_child 0 --sleep=60000" and prints "grandchild=PID"
// Standard output is binary, so the parent sees exactly the bytes written.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

std::string utf8(const wchar_t* wide) {
    int count = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string text(count > 0 ? count - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), count, nullptr, nullptr);
    return text;
}

void runCommand(std::string_view argument) {
    if (argument.starts_with("--env=")) {
        std::string name(argument.substr(6));
        const char* value = getenv(name.c_str());
        if (value != nullptr) {
            printf("%s=%s\n", name.c_str(), value);
        } else {
            printf("%s unset\n", name.c_str());
        }
    } else if (argument.starts_with("--stderr=")) {
        fprintf(stderr, "%s\n", std::string(argument.substr(9)).c_str());
    } else if (argument.starts_with("--lines=")) {
        int count = atoi(std::string(argument.substr(8)).c_str());
        for (int i = 1; i <= count; i++) printf("line %d\n", i);
    } else if (argument == "--forever") {
        std::string line(64 * 1024 - 1, 'f');
        for (;;) printf("%s\n", line.c_str());
    } else if (argument == "--spawn") {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring commandLine = L"\"" + std::wstring(self) + L"\" 0 --sleep=60000";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &process)) {
            printf("grandchild=%lu\n", static_cast<unsigned long>(process.dwProcessId));
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        fflush(stdout);
    } else if (argument.starts_with("--sleep=")) {
        fflush(stdout);
        Sleep(static_cast<DWORD>(atoi(std::string(argument.substr(8)).c_str())));
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    setvbuf(stderr, nullptr, _IONBF, 0);
    for (int i = 2; i < argc; i++) printf("[%s]\n", utf8(argv[i]).c_str());
    for (int i = 2; i < argc; i++) runCommand(utf8(argv[i]));
    fflush(stdout);
    return argc > 1 ? _wtoi(argv[1]) : 0;
}
