# Declarative helpers: a folder's CMakeLists.txt is a short list of these calls.

# Common warnings and sanitizers for every target of the project.
function(pmr_target_options target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${PMR_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                                             $<$<BOOL:${PMR_WERROR}>:-Werror>)
  endif()
  if(PMR_SANITIZE)
    list(JOIN PMR_SANITIZE "," san)
    target_compile_options(${target} PRIVATE -fsanitize=${san} -fno-omit-frame-pointer
                                             -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=${san})
  endif()
  if(PMR_PCH)
    # One precompiled header of the standard headers most files include, built with pmr_base
    # (the first target) and reused by all: a first build takes a third less time.
    if(target STREQUAL "pmr_base")
      target_precompile_headers(pmr_base PRIVATE
          <algorithm> <atomic> <chrono> <condition_variable> <filesystem> <fstream> <functional>
          <map> <memory> <mutex> <optional> <sstream> <string> <thread> <vector>)
    else()
      target_precompile_headers(${target} REUSE_FROM pmr_base)
    endif()
  endif()
  if(PMR_BUILD_FUZZ)
    # Coverage feedback for libFuzzer in every library the targets link.
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

# Platform sources: *_posix.cpp everywhere but Windows, *_win32.cpp on Windows only.
function(pmr_filter_platform out_var)
  set(result)
  foreach(src IN LISTS ARGN)
    if(src MATCHES "_win32(_test)?\\.cpp$" AND NOT WIN32)
      continue()
    endif()
    if(src MATCHES "_posix(_test)?\\.cpp$" AND WIN32)
      continue()
    endif()
    list(APPEND result ${src})
  endforeach()
  set(${out_var} ${result} PARENT_SCOPE)
endfunction()

# pmr_library(NAME [SOURCES pattern...] [EXCLUDE pattern...] [DEPS lib...] [PRIVATE_DEPS lib...]
#             [SYSTEM_LIBS lib...] [TEST_DEPS lib...] [TEST_PROGRAMS program...] [NO_TESTS]
#             [WINE_TESTS] [NO_PCH])
# Builds the static library pmr_NAME from the current folder's files matching SOURCES, or else
# from every .cpp of it that is neither a test nor matches EXCLUDE (a program's main.cpp), and
# one test program NAME_FILE for each FILE_test.cpp beside it (so that a test file is built and
# run on its own): with pmr_test, or with pmr_display_test under Wine (WINE_TESTS). TEST_DEPS
# and TEST_PROGRAMS are passed on. NO_PCH: flags that differ from the shared precompiled
# header's (GTK's define _REENTRANT).
function(pmr_library name)
  cmake_parse_arguments(ARG "NO_TESTS;WINE_TESTS;NO_PCH" ""
                        "SOURCES;EXCLUDE;DEPS;PRIVATE_DEPS;SYSTEM_LIBS;TEST_DEPS;TEST_PROGRAMS"
                        ${ARGN})
  set(lib_sources)
  set(test_sources)
  if(ARG_SOURCES)
    list(TRANSFORM ARG_SOURCES PREPEND "${CMAKE_CURRENT_SOURCE_DIR}/")
    file(GLOB lib_sources CONFIGURE_DEPENDS ${ARG_SOURCES})
    list(FILTER lib_sources EXCLUDE REGEX "_test\\.cpp$")
  else()
    file(GLOB all_sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
    set(excluded)
    if(ARG_EXCLUDE)
      list(TRANSFORM ARG_EXCLUDE PREPEND "${CMAKE_CURRENT_SOURCE_DIR}/")
      file(GLOB excluded ${ARG_EXCLUDE})
    endif()
    foreach(src IN LISTS all_sources)
      if(src MATCHES "_test\\.cpp$")
        list(APPEND test_sources ${src})
      elseif(NOT src IN_LIST excluded)
        list(APPEND lib_sources ${src})
      endif()
    endforeach()
  endif()
  pmr_filter_platform(lib_sources ${lib_sources})

  if(lib_sources)
    add_library(pmr_${name} STATIC ${lib_sources})
    target_include_directories(pmr_${name} PUBLIC "${PROJECT_SOURCE_DIR}")
    target_link_libraries(pmr_${name} PUBLIC ${ARG_DEPS} Threads::Threads ${ARG_SYSTEM_LIBS}
                                      PRIVATE ${ARG_PRIVATE_DEPS})
    pmr_target_options(pmr_${name})
    if(ARG_NO_PCH)
      set_target_properties(pmr_${name} PROPERTIES DISABLE_PRECOMPILE_HEADERS ON)
    endif()
  else()
    # Headers only so far.
    add_library(pmr_${name} INTERFACE)
    target_include_directories(pmr_${name} INTERFACE "${PROJECT_SOURCE_DIR}")
    target_link_libraries(pmr_${name} INTERFACE ${ARG_DEPS} Threads::Threads ${ARG_SYSTEM_LIBS})
  endif()

  if(ARG_NO_TESTS)
    return()
  endif()
  foreach(src IN LISTS test_sources)
    get_filename_component(stem ${src} NAME_WE)
    if(ARG_WINE_TESTS)
      pmr_display_test(${name}_${stem} SOURCES ${src} WINE TIMEOUT 240
                       DEPS pmr_${name} ${ARG_TEST_DEPS})
    else()
      pmr_test(${name}_${stem} SOURCES ${src} DEPS pmr_${name} ${ARG_TEST_DEPS}
               PROGRAMS ${ARG_TEST_PROGRAMS})
    endif()
  endforeach()
endfunction()

# pmr_program(NAME SOURCES file... [DEPS lib...] [DEFINES def...] [GUI] [FUZZER])
# An executable of the project. GUI: a Windows GUI program (no console window; redirected
# standard streams still work). FUZZER: a libFuzzer target (clang).
function(pmr_program name)
  cmake_parse_arguments(ARG "GUI;FUZZER" "" "SOURCES;DEPS;DEFINES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  target_compile_definitions(${name} PRIVATE ${ARG_DEFINES})
  if(ARG_GUI)
    set_target_properties(${name} PROPERTIES WIN32_EXECUTABLE ON)
  endif()
  if(ARG_FUZZER)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  endif()
  pmr_target_options(${name})
endfunction()

# pmr_programs(PATTERN [pmr_program options...])
# One program for each file of the current folder matching PATTERN, named after the file.
function(pmr_programs pattern)
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/${pattern}")
  foreach(src IN LISTS sources)
    get_filename_component(name ${src} NAME_WE)
    pmr_program(${name} SOURCES ${src} ${ARGN})
  endforeach()
endfunction()

# The test program NAME of SOURCES, linked with GoogleTest; it finds the source tree, the build
# tree, the shared test corpora and each of PROGRAMS (as macro PROGRAM_EXE, the program's name
# in capitals) through macros. False in OUT_VAR when the platform has no test of that file.
function(pmr_add_test_program out_var name)
  cmake_parse_arguments(ARG "NO_PCH" "" "SOURCES;DEPS;PROGRAMS" ${ARGN})
  pmr_filter_platform(sources ${ARG_SOURCES})
  if(NOT sources STREQUAL "${ARG_SOURCES}")
    set(${out_var} FALSE PARENT_SCOPE)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
      PMR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
      PMR_BINARY_DIR="${PROJECT_BINARY_DIR}"
      PMR_CORPORA_DIR="${PROJECT_SOURCE_DIR}/../shared/corpora")
  foreach(program IN LISTS ARG_PROGRAMS)
    string(TOUPPER "${program}_EXE" macro)
    target_compile_definitions(${name} PRIVATE ${macro}="$<TARGET_FILE:${program}>")
    add_dependencies(${name} ${program})
  endforeach()
  if(WIN32)
    # setenv/unsetenv and localtime_r for the tests, which set the environment POSIX-style.
    target_compile_definitions(${name} PRIVATE _POSIX_THREAD_SAFE_FUNCTIONS)
    target_compile_options(${name} PRIVATE
        -include "${PROJECT_SOURCE_DIR}/base/testing/posix_compat_win32.h")
  endif()
  pmr_target_options(${name})
  if(ARG_NO_PCH)
    set_target_properties(${name} PROPERTIES DISABLE_PRECOMPILE_HEADERS ON)
  endif()
  set(${out_var} TRUE PARENT_SCOPE)
endfunction()

# pmr_test(NAME SOURCES file... [DEPS lib...] [PROGRAMS program...])
# A GoogleTest program whose cases are registered with CTest one by one. A *_posix_test.cpp is
# left out of a Windows build, a *_win32_test.cpp out of the others. This helper and the test
# helpers below do nothing without PMR_BUILD_TESTS.
function(pmr_test name)
  if(NOT PMR_BUILD_TESTS)
    return()
  endif()
  pmr_add_test_program(built ${name} ${ARGN})
  if(built)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endif()
endfunction()

find_program(PMR_XVFB_RUN xvfb-run)

# Under Wine the tests with a display share one prefix (cmake/wine-run.sh), and with it one
# desktop, which lives on the display of the test that started it and ends with it. So they
# take turns.
set(PMR_WINE_DESKTOP_LOCK)
if(WIN32)
  set(PMR_WINE_DESKTOP_LOCK wine_desktop)
endif()

# pmr_display_test(NAME SOURCES file... [DEPS lib...] [WINE] [NO_PCH] [TIMEOUT seconds])
# A GoogleTest program that needs a display: it runs as one CTest test (listing the cases
# would start the display, and Wine, once per case) in an Xvfb of its own, under Wine for a
# Windows build (WINE). Without xvfb-run it is reported skipped.
function(pmr_display_test name)
  if(NOT PMR_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "WINE;NO_PCH" "TIMEOUT" "SOURCES;DEPS" ${ARGN})
  set(pass_on SOURCES ${ARG_SOURCES} DEPS ${ARG_DEPS})
  if(ARG_NO_PCH)
    list(APPEND pass_on NO_PCH)
  endif()
  pmr_add_test_program(built ${name} ${pass_on})
  if(NOT built)
    return()
  endif()
  set(command $<TARGET_FILE:${name}>)
  if(ARG_WINE)
    list(PREPEND command "${PROJECT_SOURCE_DIR}/cmake/wine-run.sh")
  endif()
  if(PMR_XVFB_RUN)
    add_test(NAME ${name} COMMAND ${PMR_XVFB_RUN} -a -s "-screen 0 1400x900x24" ${command})
  else()
    add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E echo "no xvfb-run: skipped")
    set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "skipped")
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 180)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(ARG_WINE)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT WINE_BUILD_DIR=${PROJECT_BINARY_DIR}
                                            RESOURCE_LOCK "${PMR_WINE_DESKTOP_LOCK}")
  endif()
endfunction()

# A test that starts a bridge holds the page API's fixed port 127.0.0.1:8091. Where this machine
# lets us create network namespaces (as root), each such test gets a loopback of its own and runs
# beside the others; elsewhere they take turns. Wine's tests take turns anyway: they share the
# build's prefix, and with it the single-instance lock.
set(PMR_TEST_NETNS OFF)
if(PMR_BUILD_TESTS AND NOT WIN32)
  execute_process(COMMAND "${PROJECT_SOURCE_DIR}/cmake/netns-run.sh" true
                  RESULT_VARIABLE netns_result OUTPUT_QUIET ERROR_QUIET TIMEOUT 10)
  if(netns_result EQUAL 0)
    set(PMR_TEST_NETNS ON)
  endif()
  message(STATUS "Bridge tests in network namespaces of their own: ${PMR_TEST_NETNS}")
endif()

# pmr_process_test(NAME SCRIPT file.py [ARGS arg...] [TIMEOUT seconds] [DISPLAY] [SCREEN WxHxD]
#                  [SESSION_BUS] [PAGE_PORT] [ENVIRONMENT VAR=value...])
# A Python script (a path relative to the current source folder) run against built programs, given
# in ARGS. DISPLAY: in an Xvfb of its own (SCREEN, by default 1400x900x24); SESSION_BUS: with a
# D-Bus session of its own. PAGE_PORT: it starts a bridge, which holds the page API's fixed
# port 127.0.0.1:8091 (see PMR_TEST_NETNS above). These tests take long, mostly waiting on the
# bridge's own timers, so CTest starts them before the quick ones.
function(pmr_process_test name)
  if(NOT PMR_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "DISPLAY;SESSION_BUS;PAGE_PORT" "SCRIPT;TIMEOUT;SCREEN"
                        "ARGS;ENVIRONMENT" ${ARGN})
  cmake_path(ABSOLUTE_PATH ARG_SCRIPT BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}")
  set(command /usr/bin/python3 "${ARG_SCRIPT}" ${ARG_ARGS})
  if(ARG_SESSION_BUS)
    list(PREPEND command dbus-run-session --)
  endif()
  if(ARG_DISPLAY)
    if(NOT ARG_SCREEN)
      set(ARG_SCREEN 1400x900x24)
    endif()
    set(xvfb_run xvfb-run)
    if(PMR_XVFB_RUN)
      set(xvfb_run ${PMR_XVFB_RUN})
    endif()
    list(PREPEND command ${xvfb_run} -a -s "-screen 0 ${ARG_SCREEN}")
  endif()
  if(ARG_PAGE_PORT AND PMR_TEST_NETNS)
    list(PREPEND command "${PROJECT_SOURCE_DIR}/cmake/netns-run.sh")
  endif()
  add_test(NAME ${name} COMMAND ${command})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} COST 100)
  set(locks)
  if(ARG_PAGE_PORT AND NOT PMR_TEST_NETNS)
    list(APPEND locks pmrface_8091)
  endif()
  if(ARG_DISPLAY)
    list(APPEND locks ${PMR_WINE_DESKTOP_LOCK})
  endif()
  if(locks)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${locks}")
  endif()
  if(ARG_ENVIRONMENT)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
endfunction()
