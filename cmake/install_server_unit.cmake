# Install-time step of server/CMakeLists.txt: the systemd unit with
# ExecStart pointing at the installed pellora-server.
file(READ "${PELLORA_SERVER_UNIT}" unit)
string(REGEX REPLACE "ExecStart=[^\n]*"
       "EnvironmentFile=-/etc/default/pellora-server\nExecStart=${CMAKE_INSTALL_PREFIX}/${PELLORA_SERVER_BINDIR}/pellora-server $PELLORA_SERVER_OPTIONS"
       unit "${unit}")
set(target "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system/pellora-server.service")
message(STATUS "Installing: ${target}")
file(WRITE "${target}" "${unit}")
