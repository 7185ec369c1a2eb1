// A java.home for the fake JVM TI host: its bin/java is a small shell script
// that stands in for the child JVM building the bootstrap jar. It copies a
// fixed jar to the path of "-Dvesta.pelican.bootstrap_path=" and is steered
// through the environment it inherits:
//   FAKE_JAVA_ARGS  file that receives its arguments, each ended by a NUL
//   FAKE_JAVA_EXIT  exit with this code instead of writing the jar
//   FAKE_JAVA_COUNT file to which one line is appended per run
//   FAKE_JAVA_ALSO  a second path the jar is copied to (another JVM winning)
#pragma once

#include <string>
#include <vector>

const std::string& fakeJavaHome();
// The jar the script copies.
const std::string& fakeBootstrapJar();
// Arguments as recorded through FAKE_JAVA_ARGS, in order.
std::vector<std::string> readRecordedArguments(const std::string& path);
