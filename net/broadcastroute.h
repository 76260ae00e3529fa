// Windows: limited broadcasts (255.255.255.255) leave only through the
// interface with the best route to that address, which is rarely the room's
// adapter. These are the netsh and route steps that make the adapter win, and
// the steps that undo them. Qt-free; the lists are testable under wine.
#pragma once

#include <string>
#include <vector>

namespace lanbroadcast {

struct Command {
    std::wstring program; // file name in the system folder: netsh.exe, route.exe
    std::vector<std::wstring> arguments;
};

// Gives the adapter the lowest interface metric (`setMetric`: the layer-3
// adapter; the layer-2 one gets it with its address) and routes the limited
// broadcast to the adapter's own address, which Windows takes as "on that link".
std::vector<Command> captureCommands(const std::wstring& interfaceName, const std::wstring& virtualIp,
                                     bool setMetric);
// Removes that route. The metric needs no undo: the layer-3 adapter is removed when the client ends.
std::vector<Command> releaseCommands(const std::wstring& virtualIp);

// The command line CreateProcess is given: each argument quoted so that the
// C runtime's parsing gives it back unchanged.
std::wstring commandLine(const Command& command);

// Runs `command` from `directory` (the system folder, unless a test says
// otherwise) without a window; its exit code, or -1 when it did not run or
// did not end within ten seconds.
int run(const Command& command, const std::wstring& directory);
std::wstring systemDirectory();

} // namespace lanbroadcast
