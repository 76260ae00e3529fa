// A tiny harness for the Win32 units, which run under wine without Qt: each
// case prints its name and its failed checks; the run ends with
// "N passed, N failed" and a non-zero exit code when anything failed.
#pragma once

#include <cstdio>
#include <initializer_list>

namespace wincheck {

inline int failedChecks = 0;

inline bool check(bool ok, const char* what, int line)
{
    if (!ok) {
        std::printf("    line %d: %s\n", line, what);
        ++failedChecks;
    }
    return ok;
}

struct Case
{
    const char* name;
    void (*run)();
};

inline int run(std::initializer_list<Case> cases)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0); // all of it, even when a case crashes
    int failed = 0;
    for (const Case& c : cases) {
        std::printf("%s\n", c.name);
        const int before = failedChecks;
        c.run();
        failed += failedChecks != before;
    }
    std::printf("%d passed, %d failed\n", static_cast<int>(cases.size()) - failed, failed);
    return failed ? 1 : 0;
}

} // namespace wincheck

#define WINCHECK_CASE(function)                                                                              \
    wincheck::Case                                                                                           \
    {                                                                                                        \
#function, function                                                                                  \
    }
// CHECK goes on after a failure; REQUIRE leaves the case.
#define CHECK(cond) wincheck::check(static_cast<bool>(cond), #cond, __LINE__)
#define REQUIRE(cond)                                                                                        \
    do {                                                                                                     \
        if (!CHECK(cond))                                                                                    \
            return;                                                                                          \
    } while (false)
