#include "jvm_harness.h"

#include <arpa/inet.h>
#include <elf.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "support/child.h"

extern char** environ;

namespace fs = std::filesystem;

bool Jdk::installed() const {
    return access((root + home + "/bin/java").c_str(), X_OK) == 0;
}

int Jdk::featureVersion() const {
    // JAVA_VERSION="1.8.0_462" or "11.0.28", "25"...
    std::string release = readFile(root + home + "/release");
    size_t at = release.find("JAVA_VERSION=\"");
    if (at == std::string::npos) {
        // Without the file, Debian's folder name says it: java-8-openjdk-amd64.
        size_t digits = home.find("java-");
        return digits == std::string::npos ? 0 : atoi(home.c_str() + digits + 5);
    }
    int major = atoi(release.c_str() + at + 14);
    if (major == 1) major = atoi(release.c_str() + release.find('.', at) + 1);
    return major;
}

namespace {

// e_machine of an ELF file, or 0 when it is none.
uint16_t elfMachine(const std::string& path) {
    Elf32_Ehdr header{};  // e_machine lies at the same offset in both classes
    std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(&header), sizeof header);
    return memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 ? header.e_machine : 0;
}

}  // namespace

bool Jdk::matchesBuild() const {
    static const uint16_t ownMachine = elfMachine("/proc/self/exe");
    return elfMachine(root + home + "/bin/java") == ownMachine;
}

namespace {

// The JDKs of one system: those named (reported even when absent), then
// every other one installed under its /usr/lib/jvm.
void addJdks(std::vector<Jdk>& jdks, const std::string& root, const std::string& suite,
             std::initializer_list<std::string> named) {
    const std::string jvms = "/usr/lib/jvm/";
    std::set<std::string> seen;
    auto add = [&](const std::string& folder) {
        Jdk jdk{suite.empty() ? folder : suite + "/" + folder, jvms + folder, root};
        std::error_code ec;
        std::string real = fs::weakly_canonical(root + jdk.home, ec).string();
        if (!seen.insert(jdk.installed() ? real : folder).second) return;
        jdks.push_back(jdk);
    };
    for (const std::string& folder : named) add(folder);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root + jvms, ec)) {
        if (access((entry.path().string() + "/bin/java").c_str(), X_OK) == 0) add(entry.path().filename().string());
    }
}

}  // namespace

std::vector<Jdk> candidateJdks() {
    const std::string arch = TARSIL_JDK_ARCH;
    std::vector<Jdk> jdks;
    addJdks(jdks, "", "", {kRequiredJdk, "java-21-openjdk-" + arch, "java-25-openjdk-" + arch, "temurin-25-jdk-" + arch});
    // The chroots hold amd64 JDKs only; other builds would skip them all.
    if (arch != "amd64") return jdks;
    const std::string chroots = TARSIL_CHROOTS;
    addJdks(jdks, chroots + "/sid", "sid",
            {"java-8-openjdk-amd64", "java-26-openjdk-amd64", "java-27-openjdk-amd64", "java-28-openjdk-amd64"});
    addJdks(jdks, chroots + "/bullseye", "bullseye", {"java-11-openjdk-amd64", "java-17-openjdk-amd64"});
    addJdks(jdks, chroots + "/trixie", "trixie", {"java-21-openjdk-amd64", "java-25-openjdk-amd64"});
    return jdks;
}

namespace {

// The JDK of the running PerJdkTest, null between tests.
const Jdk* runningJdk = nullptr;

}  // namespace

const char* testedLibrary() {
    return runningJdk != nullptr && !runningJdk->root.empty() ? TARSIL_FLOOR_LIBRARY : TARSIL_BUILT_LIBRARY;
}

const char* testedCdsKeptLibrary() {
    return runningJdk != nullptr && !runningJdk->root.empty() ? TARSIL_FLOOR_CDS_KEPT_LIBRARY
                                                              : TARSIL_BUILT_CDS_KEPT_LIBRARY;
}

std::string agentPath(const std::string& options) {
    std::string arg = std::string("-agentpath:") + TARSIL_LIBRARY;
    if (!options.empty()) arg += "=" + options;
    return arg;
}

int freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

namespace {

// With an emulator, the JVM runs as "<emulator> <java>", and so must every
// JVM the agent starts from "java.home"/bin/java. The JVM is therefore told
// that its home is a folder whose bin/java is a script that execs the
// emulator on the real launcher; everything else in it links to the real
// home. One such folder serves the whole test program.
std::string emulatedJavaHome(const Jdk& jdk) {
    static TempDir folder;
    std::string home = folder.file(jdk.name);
    if (fs::exists(home)) return home;
    fs::create_directories(home + "/bin");
    for (const auto& entry : fs::directory_iterator(jdk.home)) {
        if (entry.path().filename() != "bin") fs::create_symlink(entry.path(), fs::path(home) / entry.path().filename());
    }
    std::string script = home + "/bin/java";
    std::ofstream(script) << "#!/bin/sh\nexec " TARSIL_JAVA_EMULATOR " " << jdk.home << "/bin/java \"$@\"\n";
    fs::permissions(script, fs::perms::owner_all);
    return home;
}

// In a chroot the program sees the build, the sources and the temporary
// folder (where the tests' folders are) at their own paths, and starts in
// the launch's folder.
std::vector<std::string> chrootPrefix(const Jdk& jdk, const std::string& workDir) {
    std::error_code ec;
    std::string dir = workDir.empty() ? fs::current_path(ec).string() : workDir;
    std::vector<std::string> command{"/bin/sh", TARSIL_SOURCE_DIR "/tools/in-chroot.sh", jdk.root, dir};
    for (std::string bound : {fs::temp_directory_path(ec).string(), std::string(TARSIL_SOURCE_DIR),
                              std::string(TARSIL_BINARY_DIR)}) {
        command.insert(command.end(), {"--bind", bound});
    }
    command.push_back("--");
    return command;
}

// The program to start and its first arguments.
std::vector<std::string> javaCommand(const Jdk& jdk) {
    std::string java = jdk.home + "/bin/java";
    if (std::string_view(TARSIL_JAVA_EMULATOR).empty()) return {java};
    return {TARSIL_JAVA_EMULATOR, java, "-Djava.home=" + emulatedJavaHome(jdk)};
}

}  // namespace

JvmRun runJava(const Jdk& jdk, const JvmLaunch& launch) {
    std::vector<std::string> command = javaCommand(jdk);
    command.insert(command.end(), launch.args.begin(), launch.args.end());
    return runInJdkSystem(jdk, command, launch);
}

JvmRun runInJdkSystem(const Jdk& jdk, std::vector<std::string> argStrings, const JvmLaunch& launch) {
    TempDir capture;
    std::string outPath = capture.file("stdout");
    std::string errPath = capture.file("stderr");

    if (!jdk.root.empty()) {
        std::vector<std::string> prefix = chrootPrefix(jdk, launch.workDir);
        argStrings.insert(argStrings.begin(), prefix.begin(), prefix.end());
    }
    std::string program = argStrings.front();
    std::vector<char*> argv;
    for (auto& arg : argStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);

    // The parent's environment without the agent's marker and the variables
    // the launch sets itself, plus the launch's own.
    auto setByLaunch = [&launch](std::string_view entry) {
        std::string_view name = entry.substr(0, entry.find('='));
        return std::any_of(launch.setEnv.begin(), launch.setEnv.end(), [name](const std::string& set) {
            return std::string_view(set).substr(0, set.find('=')) == name;
        });
    };
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; e++) {
        if (strncmp(*e, "VESTA_NATIVE_PRESENT=", 21) != 0 && !setByLaunch(*e)) envStrings.emplace_back(*e);
    }
    envStrings.insert(envStrings.end(), launch.setEnv.begin(), launch.setEnv.end());
    std::vector<char*> envp;
    for (auto& entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!launch.workDir.empty() && jdk.root.empty()) posix_spawn_file_actions_addchdir_np(&actions, launch.workDir.c_str());

    JvmRun run;
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        run.err = "posix_spawn failed: " + std::string(strerror(spawned));
        return run;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(launch.timeoutSeconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            run.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    run.out = readFile(outPath);
    run.err = readFile(errPath);
    return run;
}

void PerJdkTest::SetUp() {
    const Jdk& jdk = GetParam();
    if (!jdk.installed()) {
        ASSERT_NE(jdk.name, kRequiredJdk) << "the Debian JDK 17 must be installed";
        if (!jdk.root.empty()) {
            GTEST_SKIP() << "JDK " << jdk.name << " is not installed: no chroot at " << jdk.root
                         << " (tools/chroots.sh makes it as root)";
        }
        GTEST_SKIP() << "JDK " << jdk.name << " is not installed under /usr/lib/jvm";
    }
    if (!jdk.matchesBuild()) GTEST_SKIP() << "JDK " << jdk.name << " is built for another machine than these tests";
    if (!jdk.root.empty()) {
        if (geteuid() != 0) GTEST_SKIP() << "JDK " << jdk.name << " runs in a chroot, which needs root";
        if (access(TARSIL_FLOOR_LIBRARY, R_OK) != 0) {
            GTEST_SKIP() << "JDK " << jdk.name << " loads the library built for old C libraries, and "
                         << TARSIL_FLOOR_LIBRARY << " is not built (tools/floor-build.sh)";
        }
    }
    runningJdk = &jdk;
}

void PerJdkTest::TearDown() {
    runningJdk = nullptr;
}

std::string jdkTestName(const ::testing::TestParamInfo<Jdk>& info) {
    std::string name = info.param.name;
    std::replace_if(name.begin(), name.end(), [](char c) { return !isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}
