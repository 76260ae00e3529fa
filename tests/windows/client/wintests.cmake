# The client's own tests that make sense on Windows, in the Windows build,
# run under wine by the Linux build's ctest as win_<test> (label windows): one
# wine prefix and display for all of them (the fixture), one at a time (they
# share the registry), on the windows platform.
if(PELLORA_WINE_RUNNER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env "PELLORA_WIN_DLLS=${PELLORA_WIN_DLLS}"
    "QT_PLUGIN_PATH=Z:${PELLORA_QT_PLUGINS}" ${PELLORA_WINE_RUNNER} ${PELLORA_WINENV_DIR} run)
endif()
foreach(name test_client test_everyday test_sealedclient)
  add_executable(${name} widget/${name}.cpp)
  target_link_libraries(${name} PRIVATE pellora_testsupport)
  add_test(NAME win_${name} COMMAND ${name})
  set_tests_properties(win_${name} PROPERTIES LABELS windows TIMEOUT 300
    FIXTURES_REQUIRED pellora_winclient_env RESOURCE_LOCK pellora_wine_registry
    ENVIRONMENT "QT_QPA_PLATFORM=windows;PELLORA_WIN_TESTLOG=${CMAKE_CURRENT_BINARY_DIR}/${name}.log")
endforeach()
# Second starts of the real program.
target_compile_definitions(test_everyday PRIVATE PELLORA_PROGRAM="$<TARGET_FILE:pellora>")
add_dependencies(test_everyday pellora)

# The adapter brought up with the stand-in wintun.dll beside the test: the
# window must keep answering, measured alone (RUN_SERIAL) so that no other
# test's load is counted.
add_library(fake_wintun SHARED windows/fakewintun.cpp windows/fakewintun.h)
target_include_directories(fake_wintun PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(fake_wintun PRIVATE pellora_options)
set_target_properties(fake_wintun PROPERTIES OUTPUT_NAME wintun PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
add_executable(test_winbringup windows/client/test_winbringup.cpp)
target_link_libraries(test_winbringup PRIVATE pellora_testsupport)
add_dependencies(test_winbringup fake_wintun)
add_test(NAME win_test_winbringup COMMAND test_winbringup)
set_tests_properties(win_test_winbringup PROPERTIES LABELS windows TIMEOUT 120 RUN_SERIAL ON
  FIXTURES_REQUIRED pellora_winclient_env RESOURCE_LOCK pellora_wine_registry
  ENVIRONMENT "QT_QPA_PLATFORM=windows;PELLORA_WIN_TESTLOG=${CMAKE_CURRENT_BINARY_DIR}/test_winbringup.log")
