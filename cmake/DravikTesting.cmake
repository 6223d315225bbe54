# dravik_add_gtest(<name> LABEL <area> SOURCES ... [LIBS ...])
#   A GoogleTest executable whose tests are registered one by one with CTest under <area>.
# dravik_add_qtest(<name> LABEL <area> SOURCES ... [LIBS ...])
#   A Qt Test executable run offscreen, registered as one CTest test under <area>.
#
# Every test has a time limit (TIMEOUT, seconds; 300 unless given), so a hang
# fails fast. A Qt Test function gives up well before that (Qt prints the
# stack of a function that runs over), so the failing function is named.
set(DRAVIK_TEST_TIMEOUT 300)
# No test reads or writes the user's own settings: a test that keeps any gets
# this folder of the build, unless it makes a temporary one of its own.
set(DRAVIK_TEST_CONFIG_HOME "${CMAKE_BINARY_DIR}/test-config")
set(DRAVIK_QTEST_FUNCTION_TIMEOUT_MS 120000)
find_package(GTest REQUIRED)
include(GoogleTest)

function(dravik_add_gtest name)
  cmake_parse_arguments(T "" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT ${DRAVIK_TEST_TIMEOUT})
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    DRAVIK_SAMPLES_DIR="${DRAVIK_SAMPLES_DIR}"
    DRAVIK_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    DRAVIK_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT} ENVIRONMENT "XDG_CONFIG_HOME=${DRAVIK_TEST_CONFIG_HOME}"
    TEST_PREFIX "${T_LABEL}.")
endfunction()

function(dravik_add_qtest name)
  cmake_parse_arguments(T "" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT ${DRAVIK_TEST_TIMEOUT})
  endif()
  add_executable(${name} ${T_SOURCES})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE ${T_LIBS} Qt6::Test Qt6::Widgets)
  target_compile_definitions(${name} PRIVATE
    DRAVIK_SAMPLES_DIR="${DRAVIK_SAMPLES_DIR}"
    DRAVIK_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    DRAVIK_BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_test(NAME ${T_LABEL}.${name} COMMAND ${name})
  set_tests_properties(${T_LABEL}.${name} PROPERTIES
    LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QTEST_FUNCTION_TIMEOUT=${DRAVIK_QTEST_FUNCTION_TIMEOUT_MS};XDG_CONFIG_HOME=${DRAVIK_TEST_CONFIG_HOME}")
endfunction()
