# Install-time step of server/CMakeLists.txt: the systemd unit with
# ExecStart pointing at the installed pellora-server, its settings in
# /etc/pellora/server.conf (and the options an older package kept in
# /etc/default/pellora-server, which still win where given).
file(READ "${PELLORA_SERVER_UNIT}" unit)
string(REGEX REPLACE "ExecStart=[^\n]*"
       "EnvironmentFile=-/etc/default/pellora-server\nExecStart=${CMAKE_INSTALL_PREFIX}/${PELLORA_SERVER_BINDIR}/pellora-server --config /etc/pellora/server.conf $PELLORA_SERVER_OPTIONS"
       unit "${unit}")
set(target "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system/pellora-server.service")
message(STATUS "Installing: ${target}")
file(WRITE "${target}" "${unit}")
