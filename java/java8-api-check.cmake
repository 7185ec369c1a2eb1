# Compiles the agent's sources with javac --release 8, java.lang.Module
# replaced by Object (the one Java 9 type they may name), and fails when
# they use API that Java 8 lacks.
#   cmake -DJAVAC=... -DSOURCE_DIR=... -DWORK=... -DSTAMP=... -P java8-api-check.cmake
file(REMOVE_RECURSE ${WORK})
file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.java)
set(copies)
foreach(source IN LISTS sources)
  file(READ ${SOURCE_DIR}/${source} text)
  # Twice: neighbouring matches such as "Set<Module>>" share a character.
  foreach(pass 1 2)
    string(REGEX REPLACE "([^A-Za-z0-9_])Module([^A-Za-z0-9_])" "\\1Object\\2" text "${text}")
  endforeach()
  file(WRITE ${WORK}/src/${source} "${text}")
  list(APPEND copies ${WORK}/src/${source})
endforeach()
execute_process(
  COMMAND ${JAVAC} --release 8 -Xlint:-options -encoding UTF-8 -d ${WORK}/classes ${copies}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "tarsil.jar's sources need more than the Java 8 API (javac output above)")
endif()
file(TOUCH ${STAMP})
