// The process's own use of the machine, from /proc/self.
#pragma once

#include <QtGlobal>

struct ProcessStats
{
    qint64 residentBytes = -1; // -1: not known
    double cpuSeconds = -1;    // user and system
    int openFiles = -1;
};
ProcessStats processStats();
