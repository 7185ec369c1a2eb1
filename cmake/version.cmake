# The version string the agent logs at start-up: "1.1.13-" and the UTC build time,
# 27 characters. string(TIMESTAMP) honours SOURCE_DATE_EPOCH, so a reproducible
# build gets a reproducible stamp.
string(TIMESTAMP TARSIL_BUILD_TIME "%Y-%m-%dT%H:%M:%SZ" UTC)
set(TARSIL_VERSION_STRING "${PROJECT_VERSION}-${TARSIL_BUILD_TIME}")
string(LENGTH "${TARSIL_VERSION_STRING}" _tarsil_version_length)
if(NOT _tarsil_version_length EQUAL 27)
  message(FATAL_ERROR "version string '${TARSIL_VERSION_STRING}' is not 27 characters long")
endif()
configure_file(${PROJECT_SOURCE_DIR}/src/version.cpp.in ${PROJECT_BINARY_DIR}/generated/version.cpp @ONLY)
