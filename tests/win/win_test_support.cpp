#include "win_test_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

std::wstring widen(const std::string& utf8) {
    int count = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(count, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), count);
    return wide;
}

std::string narrow(const std::wstring& wide) {
    int count = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string utf8(count, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), count, nullptr, nullptr);
    return utf8;
}

namespace {

bool inDeathTestChild() {
    return wcsstr(GetCommandLineW(), L"--gtest_internal_run_death_test") != nullptr;
}

// GoogleTest's death tests on Windows run the whole test again in a new
// process, up to the statement that is to die; the child must arrive at the
// same folders as its parent, so names follow the test and a count within it.
std::wstring nextFolderName() {
    static std::string lastTest;
    static int counter = 0;
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "global";
    if (name != lastTest) {
        lastTest = name;
        counter = 0;
    }
    return L"tarsil-test-" + widen(name) + L"-" + std::to_wstring(counter++);
}

}  // namespace

TempDir::TempDir() {
    wchar_t base[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, base);
    std::wstring root(base, length);
    if (!root.empty() && root.back() == L'\\') root.pop_back();
    std::wstring folder = root + L"\\" + nextFolderName();
    std::error_code ignored;
    // A leftover of an earlier run goes; a death test child shares its
    // parent's folder as it is.
    if (!inDeathTestChild()) fs::remove_all(folder, ignored);
    fs::create_directories(folder, ignored);
    path_ = narrow(folder);
    owner_ = !inDeathTestChild();
}

TempDir::~TempDir() {
    if (!owner_) return;
    std::error_code ignored;
    fs::remove_all(widen(path_), ignored);
}

std::string readFile(const std::string& utf8Path) {
    std::ifstream in(fs::path(widen(utf8Path)), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool writeFile(const std::string& utf8Path, const std::string& content) {
    std::ofstream out(fs::path(widen(utf8Path)), std::ios::binary);
    out << content;
    return static_cast<bool>(out);
}

bool pathExists(const std::string& utf8Path) {
    return GetFileAttributesW(widen(utf8Path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> filesIn(const std::string& utf8Folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(fs::path(widen(utf8Folder)))) {
        names.push_back(narrow(entry.path().filename().wstring()));
    }
    return names;
}

std::string programFolder() {
    wchar_t path[4096];
    DWORD length = GetModuleFileNameW(nullptr, path, 4096);
    std::wstring program(path, length);
    return narrow(program.substr(0, program.find_last_of(L'\\')));
}

std::string siblingProgram(const char* name) {
    return programFolder() + "\\" + name;
}

std::string literal(const std::string& text) {
    std::string pattern;
    for (char c : text) {
        if (std::ispunct(static_cast<unsigned char>(c))) pattern += '\\';
        pattern += c;
    }
    return pattern;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    _putenv_s(name, value != nullptr ? value : "");
}

ScopedEnv::~ScopedEnv() {
    _putenv_s(name_.c_str(), hadOld_ ? old_.c_str() : "");
}
