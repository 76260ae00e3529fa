# What windeployqt would put beside pellora.exe, by our own install rules
# (windeployqt is a Windows program): the Qt libraries, the plugins the
# client loads, the mingw-w64 runtime, and wintun.dll when one is given.
#   cmake --install build --prefix C:/Pellora --strip
# The folder is flat: Qt looks for plugins beside the program.
set(pellora_deploy_dir .)
install(TARGETS pellora RUNTIME DESTINATION ${pellora_deploy_dir})
foreach(module Core Gui Widgets Network)
  install(FILES $<TARGET_FILE:Qt6::${module}> DESTINATION ${pellora_deploy_dir})
endforeach()
# Plugins by folder: the platform, TLS (without it nothing is sealed), the
# native widget style under the style sheets, and the .ico reader for the
# window icon.
foreach(plugin platforms:QWindowsIntegrationPlugin tls:QSchannelBackendPlugin
    styles:QWindowsVistaStylePlugin imageformats:QICOPlugin)
  string(REPLACE ":" ";" plugin ${plugin})
  list(GET plugin 0 folder)
  list(GET plugin 1 target)
  install(FILES $<TARGET_FILE:Qt6::${target}> DESTINATION ${pellora_deploy_dir}/${folder})
endforeach()

# The mingw-w64 runtime, from where the toolchain keeps it (MSVC's comes with Windows' own).
set(pellora_mingw_runtime)
if(MINGW)
  set(pellora_mingw_runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
endif()
foreach(runtime ${pellora_mingw_runtime})
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
    OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${runtime_path}" OR NOT EXISTS "${runtime_path}")
    message(FATAL_ERROR "the compiler does not know where its runtime ${runtime} is")
  endif()
  get_filename_component(runtime_path ${runtime_path} REALPATH)
  install(FILES ${runtime_path} DESTINATION ${pellora_deploy_dir})
endforeach()

# The driver library is not ours to ship in the source tree: name the x86-64
# wintun.dll that should go beside the program, or drop it into the build folder.
set(PELLORA_WINTUN_DLL "" CACHE FILEPATH "The x86-64 wintun.dll to install beside pellora.exe")
if(NOT PELLORA_WINTUN_DLL AND EXISTS ${PROJECT_BINARY_DIR}/wintun.dll)
  set(PELLORA_WINTUN_DLL ${PROJECT_BINARY_DIR}/wintun.dll)
endif()
if(PELLORA_WINTUN_DLL)
  install(FILES ${PELLORA_WINTUN_DLL} DESTINATION ${pellora_deploy_dir} RENAME wintun.dll)
else()
  install(CODE "message(STATUS \"wintun.dll not installed: layer 3 needs the x86-64 wintun.dll beside pellora.exe (-DPELLORA_WINTUN_DLL=path)\")")
endif()

# The installer, pellora-setup-VERSION.exe, made with NSIS from the folder
# above (staged by the same install rules), built with everything else.
find_program(PELLORA_MAKENSIS makensis)
if(PELLORA_MAKENSIS)
  set(pellora_stage ${PROJECT_BINARY_DIR}/stage)
  set(pellora_setup ${PROJECT_BINARY_DIR}/pellora-setup-${PROJECT_VERSION}.exe)
  add_custom_command(OUTPUT ${pellora_setup}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${pellora_stage}
    COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${pellora_stage} --strip
    COMMAND ${PELLORA_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DSTAGE=${pellora_stage}
      -DSOURCE=${PROJECT_SOURCE_DIR} -DOUTFILE=${pellora_setup} ${PROJECT_SOURCE_DIR}/packaging/windows/pellora.nsi
    DEPENDS pellora ${PROJECT_SOURCE_DIR}/packaging/windows/pellora.nsi ${PELLORA_WINTUN_DLL}
    COMMENT "Packaging pellora-setup-${PROJECT_VERSION}.exe"
    VERBATIM)
  add_custom_target(pellora_installer ALL DEPENDS ${pellora_setup})
else()
  message(WARNING "makensis not found (Debian: nsis): no installer")
endif()
