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

# pmr_library(NAME [DEPS lib...] [SYSTEM_LIBS lib...] [TEST_DEPS lib...])
# Builds the static library pmr_NAME from every .cpp of the current folder that is not a test,
# and one test program NAME_FILE for each FILE_test.cpp beside it (so that a test file is built
# and run on its own).
function(pmr_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;SYSTEM_LIBS;TEST_DEPS" ${ARGN})
  file(GLOB all_sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  set(lib_sources)
  set(test_sources)
  foreach(src IN LISTS all_sources)
    if(src MATCHES "_test\\.cpp$")
      list(APPEND test_sources ${src})
    else()
      list(APPEND lib_sources ${src})
    endif()
  endforeach()
  pmr_filter_platform(lib_sources ${lib_sources})
  pmr_filter_platform(test_sources ${test_sources})

  if(lib_sources)
    add_library(pmr_${name} STATIC ${lib_sources})
    target_include_directories(pmr_${name} PUBLIC "${PROJECT_SOURCE_DIR}")
    target_link_libraries(pmr_${name} PUBLIC ${ARG_DEPS} Threads::Threads ${ARG_SYSTEM_LIBS})
    pmr_target_options(pmr_${name})
  else()
    # Headers only so far.
    add_library(pmr_${name} INTERFACE)
    target_include_directories(pmr_${name} INTERFACE "${PROJECT_SOURCE_DIR}")
    target_link_libraries(pmr_${name} INTERFACE ${ARG_DEPS} Threads::Threads ${ARG_SYSTEM_LIBS})
  endif()

  if(PMR_BUILD_TESTS)
    foreach(src IN LISTS test_sources)
      get_filename_component(stem ${src} NAME_WE)
      pmr_test(${name}_${stem} SOURCES ${src} DEPS pmr_${name} ${ARG_TEST_DEPS})
    endforeach()
  endif()
endfunction()

# Tests that drive Linux-only peers and so are not built for Windows. Each of these starts
# pyftpdlib through popen and fakes FTP servers on raw POSIX sockets (net/testing/ftp_test_servers.h).
set(PMR_POSIX_ONLY_TESTS
    net_ftp_client_test
    gateway_ftp_download_test
    gateway_callback_handler_test
    terminal_binding_test
    app_form_test
    terminal_sim_ftp_server_test
    terminal_sim_terminal_test)

# Single cases that check Linux behaviour or need a Linux peer, left out of a Windows build.
set(PMR_POSIX_ONLY_CASES
    Base64FileTest.MatchesCoreutils  # runs /usr/bin/base64
    FilesTest.ProgramFilesFolderDefaults  # the XDG default folders
    FilesTest.DeletesOnlyFilesMoreThanTheLimitAwayEitherWay  # sets a folder's time
    PageApiTest.PictureFileStaysInsideTheFolder)  # makes symbolic links

# pmr_test(NAME SOURCES file... [DEPS lib...]): a GoogleTest program registered with CTest.
# Tests find the source tree, the build tree and the shared test corpora through macros.
function(pmr_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(WIN32 AND name IN_LIST PMR_POSIX_ONLY_TESTS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
      PMR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
      PMR_BINARY_DIR="${PROJECT_BINARY_DIR}"
      PMR_CORPORA_DIR="${PROJECT_SOURCE_DIR}/../shared/corpora")
  if(WIN32)
    # setenv/unsetenv and localtime_r for the tests, which set the environment POSIX-style.
    target_compile_definitions(${name} PRIVATE _POSIX_THREAD_SAFE_FUNCTIONS)
    target_compile_options(${name} PRIVATE
        -include "${PROJECT_SOURCE_DIR}/base/testing/posix_compat_win32.h")
  endif()
  pmr_target_options(${name})
  if(WIN32)
    list(JOIN PMR_POSIX_ONLY_CASES ":" posix_only)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300
                         TEST_FILTER "-${posix_only}")
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endif()
endfunction()
