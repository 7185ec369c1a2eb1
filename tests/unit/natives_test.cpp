#include <gtest/gtest.h>

#include "MinimalInstrumentationNativeMethods.h"

TEST(ExceptionMapping, RedefinitionErrorsMapToTheirJavaExceptions) {
    const std::string unsupported = "java/lang/UnsupportedOperationException";
    EXPECT_STREQ(exceptionClassFor(JVMTI_ERROR_INVALID_CLASS_FORMAT), "java/lang/ClassFormatError");
    EXPECT_STREQ(exceptionClassFor(JVMTI_ERROR_CIRCULAR_CLASS_DEFINITION), "java/lang/ClassCircularityError");
    EXPECT_STREQ(exceptionClassFor(JVMTI_ERROR_FAILS_VERIFICATION), "java/lang/VerifyError");
    for (jvmtiError error : {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED,
                             JVMTI_ERROR_UNSUPPORTED_REDEFINITION_SCHEMA_CHANGED,
                             JVMTI_ERROR_UNSUPPORTED_REDEFINITION_HIERARCHY_CHANGED,
                             JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_DELETED,
                             JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_MODIFIERS_CHANGED,
                             JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_MODIFIERS_CHANGED}) {
        EXPECT_EQ(exceptionClassFor(error), unsupported) << error;
    }
    EXPECT_STREQ(exceptionClassFor(JVMTI_ERROR_UNSUPPORTED_VERSION), "java/lang/UnsupportedClassVersionError");
    EXPECT_STREQ(exceptionClassFor(JVMTI_ERROR_NAMES_DONT_MATCH), "java/lang/LinkageError");
    EXPECT_STREQ(exceptionClassFor(JVMTI_ERROR_UNMODIFIABLE_CLASS), "java/lang/instrument/UnmodifiableClassException");
}

TEST(ExceptionMapping, EverythingElseIsAnError) {
    for (jvmtiError error : {JVMTI_ERROR_INVALID_TYPESTATE, JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED,
                             JVMTI_ERROR_NULL_POINTER, JVMTI_ERROR_OUT_OF_MEMORY, JVMTI_ERROR_INTERNAL}) {
        EXPECT_STREQ(exceptionClassFor(error), "java/lang/Error") << error;
    }
}
