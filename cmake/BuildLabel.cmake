# The build label of the version line: product code, build number, build
# date and time, source revision; made at configure time.
set(QEL_PRODUCT_CODE "QOT")
set(QEL_BUILD_NUMBER 184)
# The module's file version; the package's version too.
set(QEL_FILE_VERSION "${PROJECT_VERSION}.${QEL_BUILD_NUMBER}")
string(TIMESTAMP QEL_BUILD_TIME "%Y-%m-%d %H:%M:%S" UTC)
execute_process(COMMAND git rev-parse --short=12 HEAD
                WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                OUTPUT_VARIABLE QEL_SOURCE_REVISION
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _rev_result)
if(NOT _rev_result EQUAL 0 OR QEL_SOURCE_REVISION STREQUAL "")
  set(QEL_SOURCE_REVISION "unknown")
endif()
set(QEL_BUILD_LABEL "${QEL_PRODUCT_CODE}-${QEL_FILE_VERSION} (${QEL_BUILD_TIME} UTC, rev ${QEL_SOURCE_REVISION})")
configure_file(${CMAKE_SOURCE_DIR}/cmake/BuildLabel.h.in ${CMAKE_BINARY_DIR}/generated/BuildLabel.h @ONLY)
