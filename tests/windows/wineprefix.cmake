# The wine prefix of the Windows tests.
#   cmake -DMODE=setup|cleanup -DWINE=... -DWINESERVER=... -DPREFIX=... -P wineprefix.cmake
# setup makes the prefix once (the first start of wine takes about ten
# seconds) and selects wine's windowless display driver, so that the tests
# can make windows without an X server. cleanup ends the wine server that
# the tests left running in this prefix, and nothing else.
set(ENV{WINEPREFIX} "${PREFIX}")
set(ENV{WINEDEBUG} "-all")
# No .NET or HTML engine: nothing to download or offer to install.
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")

if(MODE STREQUAL "setup")
  set(ready "${PREFIX}/.pellora-ready")
  if(EXISTS "${ready}")
    return()
  endif()
  file(REMOVE_RECURSE "${PREFIX}")
  execute_process(COMMAND "${WINE}" wineboot --init RESULT_VARIABLE booted)
  execute_process(COMMAND "${WINE}" reg add "HKCU\\Software\\Wine\\Drivers" /v Graphics /d null /f
    RESULT_VARIABLE configured OUTPUT_QUIET)
  # The registry reaches the disk when the server ends.
  execute_process(COMMAND "${WINESERVER}" -w)
  if(NOT booted EQUAL 0 OR NOT configured EQUAL 0)
    message(FATAL_ERROR "could not prepare the wine prefix ${PREFIX} (wineboot: ${booted}, reg: ${configured})")
  endif()
  file(TOUCH "${ready}")
  message(STATUS "wine prefix ready: ${PREFIX}")
elseif(MODE STREQUAL "cleanup")
  execute_process(COMMAND "${WINESERVER}" -k RESULT_VARIABLE ignored ERROR_QUIET)
else()
  message(FATAL_ERROR "MODE must be setup or cleanup")
endif()
