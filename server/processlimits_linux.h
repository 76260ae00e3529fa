// Descriptor limits of the process.
#pragma once

// Raises the soft limit on open files as far as the hard limit allows and
// returns the soft limit now in force (a guess when it cannot be read).
long raiseOpenFileLimit();
