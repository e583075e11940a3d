# Small helpers shared by the module, test, bench and fuzz folders.

# The service reads a server.pem in the user's data home before the one beside
# it; the tests' services get an empty one of their own, so that a certificate
# the developer's installed service made is never the one a test loads.
set(KV_TEST_USER_DATA "XDG_DATA_HOME=${CMAKE_BINARY_DIR}/test-user-data")

# kv_add_gtest(NAME SOURCES a.cpp b.cpp [POSIX_SOURCES c.cpp] [POSIX_ONLY "why"]
#              LIBS kv_x kv_y)
# One GoogleTest executable, registered with CTest under the label of its
# folder: tests/<module>/ gives "unit-<module>". In the Windows build the
# POSIX_SOURCES (tests that need POSIX-only fixtures) are left out, and a
# POSIX_ONLY suite is not built at all; the reason is printed when the build
# is configured.
function(kv_add_gtest name)
  cmake_parse_arguments(T "" "POSIX_ONLY" "SOURCES;POSIX_SOURCES;LIBS" ${ARGN})
  if(WIN32 AND T_POSIX_ONLY)
    message(STATUS "Windows build leaves out ${name}: ${T_POSIX_ONLY}")
    return()
  endif()
  if(NOT WIN32)
    list(APPEND T_SOURCES ${T_POSIX_SOURCES})
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE KV_SOURCE_DIR="${CMAKE_SOURCE_DIR}" KV_BINARY_DIR="${CMAKE_BINARY_DIR}")
  include(GoogleTest)
  # One label: gtest_discover_tests cannot pass a list through PROPERTIES.
  # ctest -L takes a regular expression, so "-L unit" and "-L net" both match
  # the label "unit-net".
  get_filename_component(module ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  if(CMAKE_CROSSCOMPILING)
    # A program for another system cannot be asked for its tests at build
    # time: it runs as one test, under CMAKE_CROSSCOMPILING_EMULATOR.
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS unit-${module})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit-${module}
      ENVIRONMENT "${KV_TEST_USER_DATA}")
  endif()
endfunction()

# kv_add_script_test(NAME COMMAND ... [LABELS l] [TIMEOUT s] [WINDOWS])
# An end-to-end test run by CTest as a command (python3, shell). In a build
# for Windows the tests marked WINDOWS are handed the command that starts the
# service there, the emulator (Wine) and the .exe, in KV_SERVICE_COMMAND; the
# others are registered disabled, as they drive the Linux program.
function(kv_add_script_test name)
  cmake_parse_arguments(T "WINDOWS" "TIMEOUT" "COMMAND;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(env "KV_SOURCE_DIR=${CMAKE_SOURCE_DIR};KV_BINARY_DIR=${CMAKE_BINARY_DIR};${KV_TEST_USER_DATA}")
  if(CMAKE_CROSSCOMPILING)
    list(APPEND env "KV_SERVICE_COMMAND=${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:kestrav-service>")
  endif()
  add_test(NAME ${name} COMMAND ${T_COMMAND})
  set_tests_properties(${name} PROPERTIES LABELS "e2e;${T_LABELS}" TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "${env}")
  if(CMAKE_CROSSCOMPILING AND NOT T_WINDOWS)
    set_tests_properties(${name} PROPERTIES DISABLED TRUE)
  endif()
endfunction()

# kv_add_fuzzer(NAME SOURCES a.cpp LIBS kv_x)
function(kv_add_fuzzer name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} Threads::Threads)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# kv_add_bench(NAME SOURCES a.cpp LIBS kv_x)
function(kv_add_bench name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} benchmark::benchmark Threads::Threads)
  target_compile_definitions(${name} PRIVATE KV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endfunction()

# Add every subfolder of the current folder that has a CMakeLists.txt, so that
# each module's tests, benchmarks and fuzzers live beside each other without a
# shared list to edit.
function(kv_add_subfolders)
  file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# kv_require_below(NAME DEPS...)
# Fails the configuration when NAME uses one of our own libraries (kv_*) that
# is not defined yet, that is, a module that does not come before NAME's
# folder in the top-level module list.
function(kv_require_below name)
  foreach(dep ${ARGN})
    if(dep MATCHES "^kv_" AND NOT TARGET ${dep})
      message(FATAL_ERROR "${name} uses ${dep}, which is not a module below it")
    endif()
  endforeach()
endfunction()

# kv_module_library(NAME DEPS a b c)
# A static library of every .cpp in the current folder except the *_tool.cpp
# programs; each of those becomes an executable named after it (kv-<stem>)
# linked with the library.
function(kv_module_library name)
  cmake_parse_arguments(M "" "" "DEPS" ${ARGN})
  kv_require_below(${name} ${M_DEPS})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB tools CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_tool.cpp)
  if(tools)
    list(REMOVE_ITEM sources ${tools})
  endif()
  add_library(${name} STATIC ${sources})
  target_link_libraries(${name} PUBLIC ${M_DEPS})
  foreach(tool ${tools})
    get_filename_component(stem ${tool} NAME_WE)
    string(REGEX REPLACE "_tool$" "" stem ${stem})
    string(REPLACE "_" "-" stem ${stem})
    add_executable(kv-${stem} ${tool})
    target_link_libraries(kv-${stem} PRIVATE ${name})
  endforeach()
endfunction()
