#include "support/fake_java.h"

#include <sys/stat.h>

#include <fstream>

#include "support/child.h"
#include "support/jars.h"

namespace {

struct FakeJava {
    TempDir dir;
    std::string jar = dir.file("bootstrap-source.jar");

    FakeJava() {
        writeJar(jar, {{"tarsilbase-classes.txt", "-\n"}});
        mkdir(dir.file("bin").c_str(), 0755);
        std::string script = dir.file("bin/java");
        std::ofstream out(script);
        out << "#!/bin/sh\n"
               "out=\n"
               // Argument files expand in place, as the launcher does; their
               // arguments are quoted, one to a line.
               "expanded=$(mktemp)\n"
               "for a; do case \"$a\" in\n"
               "  @*) while IFS= read -r line; do line=${line#\\\"}; printf '%s\\0' \"${line%\\\"}\"; done < \"${a#@}\";;\n"
               "  *) printf '%s\\0' \"$a\";;\n"
               "esac; done > \"$expanded\"\n"
               "out=$(tr '\\0' '\\n' < \"$expanded\" | sed -n 's/^-Dvesta.pelican.bootstrap_path=//p')\n"
               "if [ -n \"$FAKE_JAVA_ARGS\" ]; then cp \"$expanded\" \"$FAKE_JAVA_ARGS\"; fi\n"
               "rm -f \"$expanded\"\n"
               "if [ -n \"$FAKE_JAVA_COUNT\" ]; then echo run >> \"$FAKE_JAVA_COUNT\"; fi\n"
               "echo \"fake installer writing $out\"\n"
               "if [ -n \"$FAKE_JAVA_SLEEP\" ]; then sleep \"$FAKE_JAVA_SLEEP\" & echo $! > \"$FAKE_JAVA_PID\"; wait; fi\n"
               "if [ -n \"$FAKE_JAVA_EXIT\" ]; then exit \"$FAKE_JAVA_EXIT\"; fi\n"
               "if [ -n \"$FAKE_JAVA_GARBAGE\" ]; then echo garbage > \"$out\"; exit 0; fi\n"
               "cp '" << jar << "' \"$out\"\n"
               "if [ -n \"$FAKE_JAVA_ALSO\" ]; then cp '" << jar << "' \"$FAKE_JAVA_ALSO\"; fi\n";
        out.close();
        chmod(script.c_str(), 0755);
    }
};

FakeJava& fake() {
    static FakeJava instance;
    return instance;
}

}  // namespace

const std::string& fakeJavaHome() {
    return fake().dir.path();
}

const std::string& fakeBootstrapJar() {
    return fake().jar;
}

std::vector<std::string> readRecordedArguments(const std::string& path) {
    std::vector<std::string> args;
    std::string text = readFile(path);
    for (size_t start = 0, end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
        args.push_back(text.substr(start, end - start));
    }
    return args;
}
