# The Win32 units and their tests, cross-built with mingw-w64 from
# tests/windows as a project of its own inside this build (folder windows/),
# and run under wine by this build's ctest with label windows. Included from
# tests/CMakeLists.txt.
option(PELLORA_WINDOWS_TESTS "Cross-build the Win32 units with mingw-w64 and test them under wine" ON)
# A sanitizer or fuzzing build would only build the same programs again.
if(NOT PELLORA_WINDOWS_TESTS OR WIN32 OR PELLORA_SANITIZE OR PELLORA_FUZZ)
  return()
endif()

find_program(PELLORA_MINGW_CXX x86_64-w64-mingw32-g++-posix)
find_program(PELLORA_WINE NAMES wine64 PATHS /usr/lib/wine)
if(NOT PELLORA_MINGW_CXX OR NOT PELLORA_WINE)
  message(WARNING "mingw-w64 or wine64 is missing (scripts/setup.sh installs both): no Windows tests in this build")
  return()
endif()

include(ExternalProject)
set(PELLORA_WINDOWS_DIR ${CMAKE_BINARY_DIR}/windows)
ExternalProject_Add(pellora_windows
  SOURCE_DIR ${PROJECT_SOURCE_DIR}/tests/windows
  BINARY_DIR ${PELLORA_WINDOWS_DIR}
  PREFIX ${CMAKE_BINARY_DIR}/windows-step
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DPELLORA_WINE=${PELLORA_WINE}
  # One compiler at a time: the outer build runs beside it.
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${PELLORA_WINDOWS_DIR} -j1
  INSTALL_COMMAND ""
  # The sources live outside this step's view; the inner build knows them.
  BUILD_ALWAYS ON
)

# ctest here runs the inner project's tests too. Until it is built they show
# as one failing test instead of silently missing.
set(PELLORA_WINDOWS_CTEST ${CMAKE_CURRENT_BINARY_DIR}/windows_tests.cmake)
file(WRITE ${PELLORA_WINDOWS_CTEST}
  "if(EXISTS \"${PELLORA_WINDOWS_DIR}/CTestTestfile.cmake\")\n"
  "  include(\"${PELLORA_WINDOWS_DIR}/CTestTestfile.cmake\")\n"
  "else()\n"
  "  add_test(windows_not_built \"${CMAKE_COMMAND}\" -E echo \"build the project first: cmake --build ${CMAKE_BINARY_DIR}\")\n"
  "  set_tests_properties(windows_not_built PROPERTIES LABELS windows WILL_FAIL ON)\n"
  "endif()\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${PELLORA_WINDOWS_CTEST})

# Every client source a Windows build compiles, type-checked by mingw-w64
# against this system's Qt headers: a Windows-only file that stops matching a
# changed class fails here, though no Windows build runs.
get_target_property(pellora_typecheck_sources pellora_client PELLORA_SHARED_SOURCES)
get_target_property(pellora_typecheck_windows pellora_client PELLORA_WINDOWS_SOURCES)
get_target_property(pellora_typecheck_protocol pellora_protocol PELLORA_SHARED_SOURCES)
get_target_property(pellora_typecheck_protocol_windows pellora_protocol PELLORA_WINDOWS_SOURCES)
get_target_property(pellora_typecheck_lobby pellora_lobby PELLORA_SHARED_SOURCES)
get_target_property(pellora_typecheck_net pellora_net PELLORA_SHARED_SOURCES)
get_target_property(pellora_typecheck_net_windows pellora_net PELLORA_WINDOWS_SOURCES)
list(APPEND pellora_typecheck_sources ${pellora_typecheck_windows} ${pellora_typecheck_protocol} ${pellora_typecheck_lobby}
  ${pellora_typecheck_net} ${pellora_typecheck_net_windows}
  ${pellora_typecheck_protocol_windows} ${PROJECT_SOURCE_DIR}/app/main.cpp)
list(FILTER pellora_typecheck_sources INCLUDE REGEX "\\.cpp$")
# One argument per line: include folders, definitions, then the sources.
set(pellora_typecheck_list ${CMAKE_BINARY_DIR}/windows-typecheck.args)
file(GENERATE OUTPUT ${pellora_typecheck_list} CONTENT
"-I$<JOIN:$<TARGET_PROPERTY:pellora_client,INCLUDE_DIRECTORIES>,\n-I>
-D$<JOIN:$<TARGET_PROPERTY:pellora_client,COMPILE_DEFINITIONS>,\n-D>
-DPELLORA_VERSION=\"0\"
$<JOIN:${pellora_typecheck_sources},\n>
")
add_test(NAME windows_typecheck COMMAND ${PROJECT_SOURCE_DIR}/tests/windows/typecheck.sh ${PELLORA_MINGW_CXX} ${pellora_typecheck_list})
set_tests_properties(windows_typecheck PROPERTIES LABELS windows TIMEOUT 600)
