# Install-time step of server/CMakeLists.txt: the systemd unit with
# ExecStart pointing at the installed pellora-server, options from
# /etc/default/pellora-server and the lobby state in the unit's state directory.
file(READ "${PELLORA_SERVER_UNIT}" unit)
string(REGEX REPLACE "ExecStart=[^\n]*"
       "EnvironmentFile=-/etc/default/pellora-server\nExecStart=${CMAKE_INSTALL_PREFIX}/${PELLORA_SERVER_BINDIR}/pellora-server $PELLORA_SERVER_OPTIONS --state \${STATE_DIRECTORY}/lobby.db"
       unit "${unit}")
set(target "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system/pellora-server.service")
message(STATUS "Installing: ${target}")
file(WRITE "${target}" "${unit}")
