// The choice of the bootstrap folder, the same on every platform: the
// sources in order, which refusals fall through and which end the JVM, the
// messages and the list of what was tried. The platform's primitives (where
// the home is, the walk that adopts a folder) are behind bootcache_files.h.
#include "bootcache_folder.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "agent_util.h"
#include "list.h"
#include "logging.h"

namespace {

// The longest name the library gives a file of the folder: a damaged cached
// jar moved aside, "tarsil-bootstrap-<32 hex>.jar.damaged-<16 hex>", then
// the child's log "tarsil-bootstrap-<20 hex>-<pid>-<16 hex>.tmp.jar.log",
// whose process id is in hex, eight digits at most for a 32-bit id. The
// generation's argument file and classpath jar are shorter.
constexpr size_t kMovedAsideName = sizeof("tarsil-bootstrap-") - 1 + 32 + sizeof(".jar.damaged-") - 1 + 16;
constexpr size_t kChildLogName = sizeof("tarsil-bootstrap-") - 1 + 20 + 1 + 8 + 1 + 16 + sizeof(".tmp.jar.log") - 1;
constexpr size_t kLongestFileName = std::max(kMovedAsideName, kChildLogName);

void note(TriedFolders* tried, std::string what) {
    if (tried != nullptr) tried->push_back(std::move(what));
}

std::string joined(const TriedFolders& tried) {
    std::string text;
    for (const std::string& one : tried) text += (text.empty() ? "" : "; ") + one;
    return text;
}

// The folder of one source, adopted when every level of its path can be
// trusted and its files can all be reached by name. Else not adopted, the
// reason in *why (when asked for); a refusal of trust, or of a length the
// path named need not show, is worth a warning whatever the source does next.
BootFolder adoptFrom(const std::string& folder, const char* source, TriedFolders* tried,
                     std::string* why = nullptr) {
    std::string reason;
    if (why == nullptr) why = &reason;
    BootFolder adopted;
    FolderRefusal refusal;
    bool warn = false;
    if (adoptBootFolder(folder.c_str(), &adopted, &refusal)) {
        // The real path walked, which no other user can redirect: the
        // paths the JVM and the child JVM get (the bootstrap jar on Java
        // 8's boot class path, the child's output, log and argument file)
        // are built on it. A link may make it much longer than the path
        // named, so its length is judged here.
        const char* tooLong = folderPathTooLong(adopted.realPath, kLongestFileName);
        if (tooLong == nullptr) {
            HeapString finished(finishBootstrapFolder(adopted.realPath.c_str()));
            adopted.path = finished.get();
            return adopted;
        }
        closeBootFile(adopted.handle);
        adopted = {};
        refusal = {"", tooLong};
        warn = true;
    }
    *why = describeRefusal(folder, refusal);
    if (warn || refusal.trust) {
        log_write(TS_WARN, "Not using %s as the bootstrap folder: %s", folder.c_str(), why->c_str());
    }
    note(tried, std::string(source) + " " + folder + " (" + *why + ")");
    return adopted;
}

// A folder the platform cannot take at all ends the JVM when the user
// named it by "vesta.bootcache.dir": falling through would hide the mistake.
void refuseUnsupportedProperty(const std::string& folder) {
    const char* unsupported = unsupportedFolderPath(folder);
    if (unsupported == nullptr) return;
    log_write(TS_ERROR, "Please specify a different 'vesta.bootcache.dir'.");
    log_write(TS_FATAL, "%s", unsupported);
    fatal_error_kill(0);
}

}  // namespace

std::string describeRefusal(const std::string& folder, const FolderRefusal& refusal) {
    std::string_view reason = refusal.reason;
    if (refusal.level.empty() || refusal.level == folder || !reason.starts_with("it ")) return std::string(reason);
    return refusal.level + " " + std::string(reason.substr(3));
}

BootFolder getBootstrapFromProperty(jvmtiEnv* jvmti, TriedFolders* tried) {
    JvmtiString value = getSystemProperty(jvmti, "vesta.bootcache.dir");
    if (!value) return {};
    std::string folder = userFolderPath(value.get());
    refuseUnsupportedProperty(folder);
    return adoptFrom(folder, "'vesta.bootcache.dir'", tried);
}

BootFolder getBootstrapFromVestaBase(jvmtiEnv* jvmti, TriedFolders* tried) {
    std::string base;
    const char* source = "'vesta.base' system property";
    if (JvmtiString property = getSystemProperty(jvmti, "vesta.base")) {
        base = property.get();
    } else {
        HeapString variable(lfts_getenv("VESTA_BASE"));
        if (!variable || variable.get()[0] == '\0') return {};
        base = variable.get();
        source = "'VESTA_BASE' system environment variable";
    }
    std::string folder = folderBelow(base, "bootcache");
    // The user chose this place: a folder there that cannot be used ends
    // the JVM rather than falling through to a place the user did not ask for.
    if (unsupportedFolderPath(folder) != nullptr) {
        log_write(TS_FATAL,
                  "Couldn't write to %s. The path provided might be too long. Specify another location by changing "
                  "the %s.",
                  folder.c_str(), source);
        fatal_error_kill(0);
    }
    std::string why;
    BootFolder adopted = adoptFrom(folder, source, tried, &why);
    if (adopted.adopted()) return adopted;
    log_write(TS_FATAL,
              "Couldn't write to %s (%s). Please make sure that this location exists and is writable, or specify "
              "another location by changing the %s.",
              folder.c_str(), why.c_str(), source);
    fatal_error_kill(0);
}

BootFolder getBootstrapFromUserHome(TriedFolders* tried) {
    HomeNames names = homeNames();
    HeapString home(getUserHome());
    if (!home) {
        log_write(TS_DEBUG, "Error finding user home, got NULL!");
        note(tried, std::string(names.name) + " (" + names.noneUsable + ")");
        return {};
    }
    std::string folder = folderBelow(home.get(), ".tarsil/bootcache");
    std::string source = std::string(names.name) + "'s";
    if (const char* unsupported = unsupportedFolderPath(folder)) {
        note(tried, source + " " + folder + " (" + unsupported + ")");
        return {};
    }
    if (!isDir(folder.c_str())) log_write(TS_DEBUG, "%s is not a dir, trying to make it!", folder.c_str());
    BootFolder adopted = adoptFrom(folder, source.c_str(), tried);
    if (!adopted.adopted()) {
        log_write(TS_DEBUG, "%s wasn't writable... a dir: %d", folder.c_str(), isDir(folder.c_str()));
    }
    return adopted;
}

BootFolder getBootstrapFromTemporaryFolder(TriedFolders* tried) {
    std::string folder = temporaryBootFolder();
    if (folder.empty()) {
        note(tried, "the temporary folder (none)");
        return {};
    }
    if (const char* unsupported = unsupportedFolderPath(folder)) {
        note(tried, "the temporary folder's " + folder + " (" + unsupported + ")");
        return {};
    }
    return adoptFrom(folder, "the temporary folder's", tried);
}

BootFolder chooseBootFolder(jvmtiEnv* jvmti) {
    TriedFolders tried;
    BootFolder folder = getBootstrapFromProperty(jvmti, &tried);
    if (!folder.adopted()) folder = getBootstrapFromVestaBase(jvmti, &tried);
    if (!folder.adopted()) folder = getBootstrapFromUserHome(&tried);
    if (!folder.adopted()) {
        folder = getBootstrapFromTemporaryFolder(&tried);
        if (folder.adopted()) {
            log_write(TS_WARN,
                      "Using %s as the bootstrap folder, as no other is usable. Set the system property "
                      "'vesta.bootcache.dir' or the environment variable VESTA_BASE to choose another one.",
                      folder.realPath.c_str());
        }
    }
    if (!folder.adopted()) {
        log_write(TS_FATAL,
                  "Error finding a suitable bootstrap folder! Please specify a folder that exists and is writable by "
                  "setting the 'VESTA_BASE' system environment variable. Tried: %s.",
                  joined(tried).c_str());
        fatal_error_kill(0);
    }
    return folder;
}
