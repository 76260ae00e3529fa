// Stands in for netsh.exe and route.exe: appends the arguments it was given, as the C runtime splits them, to
// commands.log in the working folder, one line each joined by '|', and succeeds.
#include <cstdio>
#include <string>
#include <windows.h>

int wmain(int count, wchar_t** arguments)
{
    std::wstring line;
    for (int i = 0; i < count; ++i)
        line += (i ? L"|" : L"") + std::wstring(arguments[i]);
    line += L'\n';
    std::string utf8(static_cast<std::size_t>(line.size()) * 4, '\0');
    utf8.resize(static_cast<std::size_t>(
        WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), utf8.data(),
                            static_cast<int>(utf8.size()), nullptr, nullptr)));
    if (FILE* log = std::fopen("commands.log", "ab")) {
        std::fwrite(utf8.data(), 1, utf8.size(), log);
        std::fclose(log);
    }
    return 0;
}
