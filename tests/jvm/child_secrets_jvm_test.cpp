// What another local user can read of the bootstrap child JVM while it
// runs: /proc shows every process's command line to everyone, so the child's
// must hold none of the options the user keeps private (in an argument file
// only the user can read, or in JAVA_TOOL_OPTIONS, which /proc shows the user
// alone).
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "bootcache_cmdline.h"
#include "jvm_harness.h"
#include "support/child.h"

namespace {

constexpr char kInstaller[] = "com.lindenforgesys.javavesta.Install";

uid_t nobody() {
    struct passwd* entry = getpwnam("nobody");
    return entry != nullptr ? entry->pw_uid : 65534;
}

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    return text;
}

// A process of another user that reads every command line in /proc, again
// and again until it is stopped, and reports whether it saw the child JVM's
// and which of the secrets it read in any.
class CommandLineSpy {
public:
    explicit CommandLineSpy(std::vector<std::string> secrets) : secrets_(std::move(secrets)) {
        if (pipe(stop_) != 0 || pipe(report_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(stop_[1]);
            close(report_[0]);
            std::string report = spy();
            if (write(report_[1], report.data(), report.size()) < 0) _exit(1);
            _exit(0);
        }
        close(stop_[0]);
        close(report_[1]);
    }

    // Stops the spy: "child seen" when it read the child's command line, then
    // one line for each secret it read.
    std::string finish() {
        close(stop_[1]);
        std::string report = readAll(report_[0]);
        close(report_[0]);
        waitpid(pid_, nullptr, 0);
        return report;
    }

private:
    std::string spy() {
        if (setgid(nobody()) != 0 || setuid(nobody()) != 0) return "could not become nobody\n";
        bool childSeen = false;
        std::set<std::string> read;
        pollfd stop{stop_[0], POLLIN, 0};
        while (poll(&stop, 1, 0) == 0) {
            DIR* proc = opendir("/proc");
            if (proc == nullptr) return "no /proc\n";
            while (dirent* entry = readdir(proc)) {
                if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
                int fd = open((std::string("/proc/") + entry->d_name + "/cmdline").c_str(), O_RDONLY);
                if (fd < 0) continue;
                std::string cmdline = readAll(fd);
                close(fd);
                childSeen |= cmdline.find(kInstaller) != std::string::npos;
                for (const std::string& secret : secrets_) {
                    if (cmdline.find(secret) != std::string::npos) read.insert(secret + " read in " + cmdline);
                }
            }
            closedir(proc);
            usleep(1000);
        }
        std::string report = childSeen ? "child seen\n" : "";
        for (const std::string& line : read) report += line + '\n';
        return report;
    }

    std::vector<std::string> secrets_;
    int stop_[2] = {-1, -1};
    int report_[2] = {-1, -1};
    pid_t pid_ = -1;
};

class ChildSecrets : public PerJdkTest {};

}  // namespace

TEST_P(ChildSecrets, OtherUsersReadNoPrivateOptionOnTheChildsCommandLine) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to watch as another user";
    // Unique to this run, so that no other process can hold them.
    std::string unique = std::to_string(getpid()) + "x" + std::to_string(time(nullptr));
    std::string token = "s3cr3t" + unique;
    std::string password = "hunter2" + unique;
    std::vector<std::string> privateOptions = {"-XX:OnOutOfMemoryError=notify --token=" + token,
                                               "-Dsecret=" + password};
    struct Case {
        const char* what;
        int fromJava;
        bool argumentFile;  // else JAVA_TOOL_OPTIONS
    } cases[] = {
        {"a private argument file", 9, true},
        {"JAVA_TOOL_OPTIONS", 8, false},
    };
    for (const Case& c : cases) {
        if (GetParam().featureVersion() < c.fromJava) continue;
        TempDir work;
        TempDir folder;
        JvmLaunch launch;
        launch.workDir = work.path();
        // The child sleeps a while before it writes the jar, so that the
        // spy reads its command line many times.
        launch.setEnv = {"VESTA_TEST_INSTALL_SLEEP_MS=2000"};
        launch.args = {agentPath(), std::string("-Dvesta.native.jar=") + TARSIL_AGENT_JAR,
                       "-Dvesta.bootcache.dir=" + folder.path()};
        if (c.argumentFile) {
            std::vector<char*> pointers;
            for (std::string& option : privateOptions) pointers.push_back(option.data());
            std::string file = work.file("private.args");
            std::ofstream(file, std::ios::binary) << argumentFileText(pointers.data(), static_cast<int>(pointers.size()));
            ASSERT_EQ(chmod(file.c_str(), 0600), 0);
            launch.args.push_back("@" + file);
        } else {
            launch.setEnv.push_back("JAVA_TOOL_OPTIONS=\"" + privateOptions[0] + "\" " + privateOptions[1]);
        }
        launch.args.push_back("-version");

        CommandLineSpy spy({token, password});
        JvmRun run = runJava(GetParam(), launch);
        std::string seen = spy.finish();
        EXPECT_EQ(run.exitCode, 0) << c.what << run.err;
        EXPECT_EQ(seen, "child seen\n") << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(Jdks, ChildSecrets, ::testing::ValuesIn(candidateJdks()), jdkTestName);
