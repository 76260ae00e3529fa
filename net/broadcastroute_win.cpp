#include "net/broadcastroute.h"

#include <windows.h>

namespace lanbroadcast {
namespace {

const wchar_t kEveryone[] = L"255.255.255.255";

// The rules of CommandLineToArgvW and the C runtime: quotes around an argument
// with blanks or quotes, backslashes doubled only before a quote.
std::wstring quoted(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L'"';
}

} // namespace

std::vector<Command> captureCommands(const std::wstring& interfaceName, const std::wstring& virtualIp,
                                     bool setMetric)
{
    std::vector<Command> commands;
    if (setMetric)
        commands.push_back(
            {L"netsh.exe", {L"interface", L"ipv4", L"set", L"interface", interfaceName, L"metric=1"}});
    commands.push_back({L"route.exe", {L"add", kEveryone, L"mask", kEveryone, virtualIp, L"metric", L"1"}});
    return commands;
}

std::vector<Command> releaseCommands(const std::wstring& virtualIp)
{
    return {{L"route.exe", {L"delete", kEveryone, L"mask", kEveryone, virtualIp}}};
}

std::wstring commandLine(const Command& command)
{
    std::wstring line = quoted(command.program);
    for (const std::wstring& argument : command.arguments)
        line += L' ' + quoted(argument);
    return line;
}

std::wstring systemDirectory()
{
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(path, length) : std::wstring();
}

int run(const Command& command, const std::wstring& directory)
{
    // By full path: a netsh.exe beside the program or in the working folder is never the one run.
    const std::wstring program = directory + L'\\' + command.program;
    std::wstring line = commandLine(command);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process))
        return -1;
    CloseHandle(process.hThread);
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.hProcess, &code))
        code = static_cast<DWORD>(-1);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

} // namespace lanbroadcast
