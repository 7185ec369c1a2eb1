// The natives' exceptions for JVM TI errors, the binding of the natives the
// Java class declares, and where native method prefixes go.
#include <gtest/gtest.h>

#include <cstring>

#include "MinimalInstrumentationNativeMethods.h"
#include "agent_state.h"
#include "java_contract.h"
#include "jvmti_exceptions.h"
#include "support/fake_jni.h"
#include "support/fake_jvmti.h"

namespace {

constexpr char kUnsupported[] = "java/lang/UnsupportedOperationException";
constexpr char kInternal[] = "java/lang/InternalError";
constexpr char kNests[] = "class redefinition failed: attempted to change the class NestHost or NestMembers attribute";
constexpr char kRecords[] =
    "class redefinition failed: attempted to change the class NestHost, NestMembers, or Record attribute";
constexpr char kSealed[] = "class redefinition failed: attempted to change the class NestHost, NestMembers, Record, "
                           "or PermittedSubclasses attribute";

struct ErrorCase {
    jvmtiError error;
    int release;
    const char* className;  // null: nothing is thrown
    const char* message;
};

const ErrorCase kErrorCases[] = {
    {JVMTI_ERROR_NULL_POINTER, 8, "java/lang/NullPointerException", nullptr},
    {JVMTI_ERROR_ILLEGAL_ARGUMENT, 17, "java/lang/IllegalArgumentException", nullptr},
    {JVMTI_ERROR_OUT_OF_MEMORY, 21, "java/lang/OutOfMemoryError", nullptr},
    {JVMTI_ERROR_INVALID_CLASS_FORMAT, 8, "java/lang/ClassFormatError", nullptr},
    {JVMTI_ERROR_CIRCULAR_CLASS_DEFINITION, 11, "java/lang/ClassCircularityError", nullptr},
    {JVMTI_ERROR_FAILS_VERIFICATION, 25, "java/lang/VerifyError", nullptr},
    {JVMTI_ERROR_UNSUPPORTED_VERSION, 9, "java/lang/UnsupportedClassVersionError", nullptr},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED, 8, kUnsupported,
     "class redefinition failed: attempted to add a method"},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_SCHEMA_CHANGED, 17, kUnsupported,
     "class redefinition failed: attempted to change the schema (add/remove fields)"},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_HIERARCHY_CHANGED, 11, kUnsupported,
     "class redefinition failed: attempted to change superclass or interfaces"},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_DELETED, 21, kUnsupported,
     "class redefinition failed: attempted to delete a method"},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_MODIFIERS_CHANGED, 25, kUnsupported,
     "class redefinition failed: attempted to change the class modifiers"},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_MODIFIERS_CHANGED, 28, kUnsupported,
     "class redefinition failed: attempted to change method modifiers"},
    // Unknown to the agents before nestmates, then one message per release.
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED, 8, kInternal, nullptr},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED, 10, kInternal, nullptr},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED, 11, kUnsupported, kNests},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED, 14, kUnsupported, kRecords},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED, 15, kUnsupported, kSealed},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED, 40, kUnsupported, kSealed},
    {JVMTI_ERROR_NAMES_DONT_MATCH, 8, "java/lang/NoClassDefFoundError", "class names don't match"},
    {JVMTI_ERROR_UNMODIFIABLE_CLASS, 17, "java/lang/instrument/UnmodifiableClassException", nullptr},
    {JVMTI_ERROR_INVALID_CLASS, 11, kInternal, "class redefinition failed: invalid class"},
    {JVMTI_ERROR_CLASS_LOADER_UNSUPPORTED, 21, kUnsupported, "unsupported operation"},
    {JVMTI_ERROR_UNMODIFIABLE_MODULE, 11, "java/lang/instrument/UnmodifiableModuleException", nullptr},
    {JVMTI_ERROR_INVALID_OBJECT, 17, kInternal, nullptr},
    {JVMTI_ERROR_WRONG_PHASE, 25, nullptr, nullptr},
};

const ExtraNative* const kExtraNatives[] = {
    &kGetObjectSize,      &kAppendToBootSearch, &kAppendToSystemSearch, &kIsModifiableClass,
    &kGetInitiatedClasses, &kSetNativeMethodPrefixes, &kIsModifiableModule, &kAddModuleReads,
    &kAddModuleExports,   &kAddModuleOpens,     &kAddModuleUses,        &kAddModuleProvides,
};
constexpr size_t kWithoutModules = 6;  // the natives before the module ones above

std::string method(const ExtraNative& native) {
    return std::string(native.name) + " " + native.signature;
}

class Natives : public ::testing::Test {
protected:
    void SetUp() override { memset(&agent, 0, sizeof agent); }
    void TearDown() override { memset(&agent, 0, sizeof agent); }
    // The instrumentation class of an agent jar that declares these natives
    // beside the four.
    jclass instrumentationClass(FakeJni& jni, const std::set<std::string>& natives) {
        std::set<std::string>& declared = jni.declaredMethods[kInstrumentationClass];
        declared = natives;
        declared.insert("redefineClassesImpl ([Ljava/lang/instrument/ClassDefinition;)V");
        return jni.env()->FindClass(kInstrumentationClass);
    }
};

}  // namespace

TEST(ErrorTable, EachErrorBecomesTheJdkAgentsExceptionOfThatRelease) {
    for (const ErrorCase& row : kErrorCases) {
        JvmtiException exception = exceptionFor(row.error, row.release);
        EXPECT_STREQ(exception.className, row.className) << row.error << " on " << row.release;
        EXPECT_STREQ(exception.message, row.message) << row.error << " on " << row.release;
    }
}

TEST_F(Natives, ErrorsAreThrownForTheJvmsReleaseAndNeverOverAPendingException) {
    FakeJni jni;
    agent.jvmtiMajorVersion = 17;
    EXPECT_TRUE(throwForError(jni.env(), JVMTI_ERROR_NAMES_DONT_MATCH, "RedefineClasses"));
    EXPECT_TRUE(throwForError(jni.env(), JVMTI_ERROR_OUT_OF_MEMORY, "RedefineClasses"));  // the first one stays
    for (jint major : {17, 1}) {  // 1: Java 8's JVM TI
        jni.pending = false;
        agent.jvmtiMajorVersion = major;
        EXPECT_TRUE(throwForError(jni.env(), JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED, "Redefine"));
    }
    jni.pending = false;
    EXPECT_FALSE(throwForError(jni.env(), JVMTI_ERROR_WRONG_PHASE, "GetObjectSize"));
    EXPECT_FALSE(throwForError(jni.env(), JVMTI_ERROR_NONE, "GetObjectSize"));
    EXPECT_EQ(jni.thrown, (std::vector<std::string>{"java/lang/NoClassDefFoundError: class names don't match",
                                                    std::string(kUnsupported) + ": " + kSealed, kInternal}));
    EXPECT_FALSE(jni.pending);
    EXPECT_FALSE(jni.callWithExceptionPending);
}

TEST_F(Natives, OnlyTheNativesTheClassDeclaresAreBound) {
    std::set<std::string> all;
    for (const ExtraNative* native : kExtraNatives) all.insert(method(*native));
    std::vector<std::string> everyNative, withoutModules;
    for (size_t i = 0; i < std::size(kExtraNatives); i++) {
        everyNative.push_back(method(*kExtraNatives[i]));
        if (i < kWithoutModules) withoutModules.push_back(everyNative.back());
    }
    struct Case {
        const char* what;
        std::set<std::string> declared;
        bool java9;
        std::vector<std::string> bound;
        const char* failing = "";
    };
    const Case cases[] = {
        {"the four alone", {}, true, {}},
        {"another signature", {"getObjectSizeImpl (Ljava/lang/Object;)I"}, true, {}},
        {"one of them", {method(kIsModifiableClass)}, true, {method(kIsModifiableClass)}},
        {"all of them", all, true, everyNative},
        {"all of them on Java 8", all, false, withoutModules},
        {"one that fails to bind", all, true, everyNative, kAddModuleReads.name},
    };
    for (const Case& test : cases) {
        FakeJni jni;
        jni.failingNatives.insert(test.failing);
        registerDeclaredNatives(jni.env(), instrumentationClass(jni, test.declared), test.java9);
        EXPECT_EQ(jni.registered, test.bound) << test.what;
        for (const auto& [name, function] : jni.nativeFunctions) EXPECT_NE(function, nullptr) << name;
        EXPECT_FALSE(jni.pending) << test.what;
        EXPECT_FALSE(jni.callWithExceptionPending) << test.what;
    }
}

TEST_F(Natives, PrefixesGoToTheirTransformersEnvironmentWithTheLibrarysFirstOnTheMainOne) {
    FakeJvm jvm;
    agent.jvmti = jvm.newEnv();
    agent.retransformJvmti = jvm.newEnv();
    jvmtiCapabilities prefixes{};
    prefixes.can_set_native_method_prefix = 1;
    for (jvmtiEnv* env : {agent.jvmti, agent.retransformJvmti}) env->AddCapabilities(&prefixes);
    FakeJni jni;
    registerDeclaredNatives(jni.env(), instrumentationClass(jni, {method(kSetNativeMethodPrefixes)}), true);
    auto set = reinterpret_cast<void(JNICALL*)(JNIEnv*, jobject, jobjectArray, jboolean)>(
        jni.nativeFunctions.at(method(kSetNativeMethodPrefixes)));

    set(jni.env(), nullptr, jni.stringArray({"a_", std::nullopt, "", kNativeMethodPrefix, "b_"}), JNI_FALSE);
    set(jni.env(), nullptr, jni.stringArray({"r_", kNativeMethodPrefix}), JNI_TRUE);
    EXPECT_EQ(jvm.nativeMethodPrefixes(agent.jvmti), (std::vector<std::string>{kNativeMethodPrefix, "a_", "b_"}));
    EXPECT_EQ(jvm.nativeMethodPrefixes(agent.retransformJvmti), (std::vector<std::string>{"r_", kNativeMethodPrefix}));
    set(jni.env(), nullptr, jni.stringArray({}), JNI_FALSE);
    EXPECT_EQ(jvm.nativeMethodPrefixes(agent.jvmti), std::vector<std::string>{kNativeMethodPrefix});
    EXPECT_TRUE(jni.thrown.empty());
}
