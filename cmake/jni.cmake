# The JVM TI and JNI headers come from the installed JDK: JAVA_HOME first, then
# the Debian JDK 17.
find_path(TARSIL_JNI_INCLUDE jvmti.h
  HINTS "$ENV{JAVA_HOME}/include" /usr/lib/jvm/java-17-openjdk-amd64/include
  NO_CMAKE_FIND_ROOT_PATH
  REQUIRED)
if(WIN32)
  # The JDK here ships only the Linux machine header; Windows builds use ours.
  set(TARSIL_JNI_MD_INCLUDE ${PROJECT_SOURCE_DIR}/src/include/win32)
else()
  # The JDK's jni_md.h is the one of every Unix, macOS included.
  set(TARSIL_JNI_MD_INCLUDE ${TARSIL_JNI_INCLUDE}/linux)
endif()
