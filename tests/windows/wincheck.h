// A tiny test harness for the Win32 units, which run under wine without Qt.
// Cases register themselves; each prints PASS or FAIL with the first failed
// check, and the run ends with "N passed, N failed" and a non-zero exit code
// when anything failed.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace wincheck {

struct Case
{
    const char* name;
    void (*run)();
};

inline std::vector<Case>& cases()
{
    static std::vector<Case> all;
    return all;
}

// Failures of the case that is running; a case goes on after a failed check
// so that one run shows everything that is wrong with it.
inline std::vector<std::string>& failures()
{
    static std::vector<std::string> list;
    return list;
}

struct Registrar
{
    Registrar(const char* name, void (*run)()) { cases().push_back({name, run}); }
};

inline bool check(bool ok, const char* what, const char* file, int line)
{
    if (!ok) {
        char text[512];
        std::snprintf(text, sizeof text, "%s:%d: %s", file, line, what);
        failures().push_back(text);
    }
    return ok;
}

inline std::string show(bool v)
{
    return v ? "true" : "false";
}
inline std::string show(const std::string& v)
{
    return '"' + v + '"';
}
inline std::string show(const char* v)
{
    return v ? show(std::string(v)) : "null";
}
inline std::string show(const void* v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", v);
    return text;
}
template <typename T, typename = decltype(std::to_string(T()))> std::string show(T v)
{
    return std::to_string(v);
}

template <typename A, typename B>
bool checkEqual(const A& actual, const B& expected, const char* what, const char* file, int line)
{
    if (actual == expected)
        return true;
    const std::string text =
        std::string(what) + "\n    actual:   " + show(actual) + "\n    expected: " + show(expected);
    return check(false, text.c_str(), file, line);
}

// Runs every case, or only those whose names contain argv[1].
inline int runAll(int argc, char** argv)
{
    const char* filter = argc > 1 ? argv[1] : nullptr;
    int passed = 0;
    int failed = 0;
    for (const Case& c : cases()) {
        if (filter && !std::strstr(c.name, filter))
            continue;
        failures().clear();
        c.run();
        if (failures().empty()) {
            ++passed;
            std::printf("PASS   %s\n", c.name);
        } else {
            ++failed;
            std::printf("FAIL!  %s\n", c.name);
            for (const std::string& f : failures())
                std::printf("    %s\n", f.c_str());
        }
        std::fflush(stdout);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}

} // namespace wincheck

#define WINCHECK_CASE(name)                                                                                  \
    static void name();                                                                                      \
    static const wincheck::Registrar name##Registrar(#name, name);                                           \
    static void name()

// CHECK goes on after a failure; REQUIRE leaves the case.
#define CHECK(cond) wincheck::check(static_cast<bool>(cond), #cond, __FILE__, __LINE__)
#define CHECK_EQ(actual, expected)                                                                           \
    wincheck::checkEqual((actual), (expected), #actual " == " #expected, __FILE__, __LINE__)
#define REQUIRE(cond)                                                                                        \
    do {                                                                                                     \
        if (!CHECK(cond))                                                                                    \
            return;                                                                                          \
    } while (false)

#define WINCHECK_MAIN()                                                                                      \
    int main(int argc, char** argv)                                                                          \
    {                                                                                                        \
        return wincheck::runAll(argc, argv);                                                                 \
    }
