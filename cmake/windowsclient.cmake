# The whole client for Windows: this very project cross-built with mingw-w64
# against a Qt built for Windows (PELLORA_QT_MINGW) into windows-client/,
# with pellora.exe, its installer and the client's tests that make sense on
# Windows; this build's ctest runs them under wine (label windows), and
# test_winclient installs and drives the installed program. Included from
# tests/CMakeLists.txt.
if(NOT PELLORA_WINDOWS_TESTS OR WIN32 OR PELLORA_SANITIZE OR PELLORA_FUZZ)
  return()
endif()
find_program(PELLORA_WINE NAMES wine64 PATHS /usr/lib/wine)
get_filename_component(pellora_shared_qt ${PROJECT_SOURCE_DIR}/../shared/qt6-mingw ABSOLUTE)
if(EXISTS ${pellora_shared_qt}/lib/cmake/Qt6)
  set(pellora_default_qt ${pellora_shared_qt})
endif()
set(PELLORA_QT_MINGW "${pellora_default_qt}" CACHE PATH
  "Qt 6 built for 64-bit Windows with mingw-w64 (scripts/build-qt-mingw.sh makes one)")

# Why the Windows client cannot be built here, or nothing.
set(pellora_windows_client_missing "")
find_program(PELLORA_MINGW_POSIX_CXX x86_64-w64-mingw32-g++-posix)
find_program(PELLORA_MAKENSIS makensis)
find_program(PELLORA_XVFB Xvfb)
if(NOT PELLORA_QT_MINGW OR NOT EXISTS ${PELLORA_QT_MINGW}/lib/cmake/Qt6)
  set(pellora_windows_client_missing "no Qt for Windows: set PELLORA_QT_MINGW to one (scripts/build-qt-mingw.sh makes it)")
elseif(NOT PELLORA_MINGW_POSIX_CXX OR NOT PELLORA_WINE OR NOT PELLORA_MAKENSIS OR NOT PELLORA_XVFB)
  set(pellora_windows_client_missing "mingw-w64 (posix), wine64, makensis or Xvfb is missing: scripts/setup.sh installs them")
endif()
if(pellora_windows_client_missing)
  message(WARNING "Windows client not built: ${pellora_windows_client_missing}")
  # Said as skipped with the reason, never as passed.
  add_test(NAME windows_client COMMAND sh -c "echo \"skipped: $0\"; exit 77" "${pellora_windows_client_missing}")
  set_tests_properties(windows_client PROPERTIES LABELS windows SKIP_RETURN_CODE 77)
  return()
endif()

set(PELLORA_WINCLIENT_DIR ${CMAKE_BINARY_DIR}/windows-client)
# One wine prefix and X display for every client test under wine, made fresh by the fixture.
set(pellora_winenv_dir ${CMAKE_BINARY_DIR}/windows-client-env)
set(pellora_winenv ${PROJECT_SOURCE_DIR}/tests/windows/client/winenv.sh)
execute_process(COMMAND ${PELLORA_MINGW_POSIX_CXX} -print-file-name=libstdc++-6.dll
  OUTPUT_VARIABLE pellora_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${PELLORA_MINGW_POSIX_CXX} -print-file-name=libwinpthread-1.dll
  OUTPUT_VARIABLE pellora_libwinpthread OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(pellora_libstdcxx_dir ${pellora_libstdcxx} DIRECTORY)
get_filename_component(pellora_libwinpthread_dir ${pellora_libwinpthread} REALPATH)
get_filename_component(pellora_libwinpthread_dir ${pellora_libwinpthread_dir} DIRECTORY)

include(ExternalProject)
ExternalProject_Add(pellora_windows_client
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${PELLORA_WINCLIENT_DIR}
  PREFIX ${CMAKE_BINARY_DIR}/windows-client-step
  CMAKE_GENERATOR Ninja
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DPELLORA_QT_MINGW=${PELLORA_QT_MINGW}
    -DCMAKE_PREFIX_PATH=${PELLORA_QT_MINGW}
    -DQT_HOST_PATH=/usr
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
    -DPELLORA_WERROR=${PELLORA_WERROR}
    -DPELLORA_DEFAULT_SERVER=${PELLORA_DEFAULT_SERVER}
    -DPELLORA_WINE_RUNNER=${pellora_winenv}
    -DPELLORA_WINENV_DIR=${pellora_winenv_dir}
    "-DPELLORA_WIN_DLLS=${PELLORA_QT_MINGW}/bin:${pellora_libstdcxx_dir}:${pellora_libwinpthread_dir}"
    -DPELLORA_QT_PLUGINS=${PELLORA_QT_MINGW}/plugins
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${PELLORA_WINCLIENT_DIR}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
)

# The fixture every client test under wine shares; its wine server and Xvfb end after them.
add_test(NAME winclient_env_setup COMMAND ${pellora_winenv} ${pellora_winenv_dir} setup)
add_test(NAME winclient_env_cleanup COMMAND ${pellora_winenv} ${pellora_winenv_dir} cleanup)
set_tests_properties(winclient_env_setup winclient_env_cleanup PROPERTIES LABELS windows
  ENVIRONMENT "PELLORA_WINE=${PELLORA_WINE}")
set_tests_properties(winclient_env_setup PROPERTIES TIMEOUT 300 FIXTURES_SETUP pellora_winclient_env)
set_tests_properties(winclient_env_cleanup PROPERTIES TIMEOUT 60 FIXTURES_CLEANUP pellora_winclient_env)

set(PELLORA_WINCLIENT_CTEST ${CMAKE_CURRENT_BINARY_DIR}/windows_client_tests.cmake)
file(WRITE ${PELLORA_WINCLIENT_CTEST}
  "if(EXISTS \"${PELLORA_WINCLIENT_DIR}/tests/CTestTestfile.cmake\")\n"
  "  include(\"${PELLORA_WINCLIENT_DIR}/tests/CTestTestfile.cmake\")\n"
  "else()\n"
  "  add_test(windows_client_not_built \"${CMAKE_COMMAND}\" -E echo \"build the project first: cmake --build ${CMAKE_BINARY_DIR}\")\n"
  "  set_tests_properties(windows_client_not_built PROPERTIES LABELS windows WILL_FAIL ON)\n"
  "endif()\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${PELLORA_WINCLIENT_CTEST})

# The installer and the installed program under wine, driven from here: a fake
# lobby or our server on loopback, the stand-in wintun.dll and the recording
# netsh.exe and route.exe of the Win32 unit tests (windows/bin).
add_executable(test_winclient ${PROJECT_SOURCE_DIR}/tests/windows/client/test_winclient.cpp)
target_link_libraries(test_winclient PRIVATE pellora_testsupport)
target_compile_definitions(test_winclient PRIVATE
  PELLORA_WINENV="${pellora_winenv}" PELLORA_WINENV_DIR="${pellora_winenv_dir}"
  PELLORA_SETUP="${PELLORA_WINCLIENT_DIR}/pellora-setup-${PROJECT_VERSION}.exe"
  PELLORA_FAKE_WINTUN="${CMAKE_BINARY_DIR}/windows/bin/complete/wintun.dll"
  PELLORA_FAKE_COMMANDS="${CMAKE_BINARY_DIR}/windows/bin/commands")
add_dependencies(test_winclient pellora_windows_client)
if(TARGET pellora_windows)
  add_dependencies(test_winclient pellora_windows)
endif()
add_test(NAME test_winclient COMMAND test_winclient)
set_tests_properties(test_winclient PROPERTIES LABELS windows TIMEOUT 600
  FIXTURES_REQUIRED pellora_winclient_env RESOURCE_LOCK pellora_wine_registry
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;PELLORA_WINE=${PELLORA_WINE}")
