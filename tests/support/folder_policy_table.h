// The choice of the bootstrap folder among the sources a user names, as one
// table that the test programs of every platform run: which source wins,
// which refusal falls through, and which ends the JVM naming its source.
// Include it after the platform's test support (TempDir) and fake_jvmti.h.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "bootcache_folder.h"

namespace folder_policy {

// What a source names: nothing, a folder that serves, a place where no
// folder can be (a plain file stands where it would go), or an empty value.
enum class Place { none, usable, unusable, empty };

struct Case {
    const char* what;
    Place property;      // "vesta.bootcache.dir"
    Place baseProperty;  // "vesta.base"
    Place baseVariable;  // VESTA_BASE
    // "property", "base property", "base variable": the folder chosen; or
    // the text the JVM's end names.
    const char* outcome;
};

inline constexpr char kEndsNamingTheProperty[] = "by changing the 'vesta.base' system property.";
inline constexpr char kEndsNamingTheVariable[] = "by changing the 'VESTA_BASE' system environment variable.";

inline const Case kCases[] = {
    {"the property wins", Place::usable, Place::usable, Place::usable, "property"},
    {"an unusable property falls through", Place::unusable, Place::usable, Place::none, "base property"},
    {"vesta.base wins over VESTA_BASE", Place::none, Place::usable, Place::usable, "base property"},
    {"VESTA_BASE alone", Place::none, Place::none, Place::usable, "base variable"},
    {"an unusable vesta.base ends the JVM", Place::none, Place::unusable, Place::usable, kEndsNamingTheProperty},
    {"an unusable VESTA_BASE ends the JVM", Place::none, Place::none, Place::unusable, kEndsNamingTheVariable},
    {"a fall-through does not save vesta.base", Place::unusable, Place::unusable, Place::none,
     kEndsNamingTheProperty},
    {"empty values are not given", Place::empty, Place::empty, Place::usable, "base variable"},
};

// Escapes a literal for the death tests' regular expressions.
inline std::string literal(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

// Runs every case in a death-test child: `setVariable(name, value)` (value
// null: unset) is the platform's, `separator` the one the chosen folder ends
// with.
inline void runTable(const std::function<void(const char*, const char*)>& setVariable, char separator) {
    for (const Case& c : kCases) {
        TempDir property, base, variable;
        // A plain file stands where the folder, or its base, would be.
        auto placed = [](const TempDir& dir, Place place) {
            if (place == Place::usable) return dir.path();
            if (place == Place::empty) return std::string();
            std::string file = dir.file("plain-file");
            std::ofstream(file) << "";
            return file;
        };
        FakeJvmtiScript script;
        if (c.property != Place::none) script.properties["vesta.bootcache.dir"] = placed(property, c.property);
        if (c.baseProperty != Place::none) script.properties["vesta.base"] = placed(base, c.baseProperty);
        bool variableSet = c.baseVariable != Place::none;
        std::string variableValue = variableSet ? placed(variable, c.baseVariable) : "";
        std::string outcome = c.outcome;
        std::string expected;
        int code = 0;
        if (outcome == "property") {
            expected = "folder=[" + property.path() + separator + "]";
        } else if (outcome == "base property") {
            expected = "folder=[" + base.file("bootcache") + separator + "]";
        } else if (outcome == "base variable") {
            expected = "folder=[" + variable.file("bootcache") + separator + "]";
        } else {
            expected = outcome;
            code = 3;
        }
        EXPECT_EXIT(
            {
                setVariable("VESTA_BASE", variableSet ? variableValue.c_str() : nullptr);
                FakeJvm jvm(script);
                BootFolder folder = chooseBootFolder(jvm.newEnv());
                fprintf(stderr, "folder=[%s]\n", folder.path.c_str());
                fflush(stderr);
                exit(0);
            },
            testing::ExitedWithCode(code), literal(expected))
            << c.what;
    }
}

}  // namespace folder_policy
