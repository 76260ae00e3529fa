// What makes a player's or a room's name acceptable, and when two names are
// the same name: compared by how they look, not by their code points.
#pragma once

#include <QString>

namespace names {

// Key under which names are compared: the Unicode security skeleton (ICU),
// taken in any case, without invisible characters and spaces ("Аlice" with a
// Cyrillic A, "Μax" with a Greek Mu, "ALICE" and "Alice" share a key). Text
// longer than the longest name can be (lobbyrules::maxUnits) is no name: it
// is not looked at and gets an empty key, which no name has.
QString skeleton(const QString& name);

// Why the characters of a name are not acceptable (an empty string when they
// are): invisible, control or filler characters, lone surrogates, or a name
// made of combining marks only.
QString characterProblem(const QString& name);

// Sees every text handed to skeleton() before anything else is done with it;
// tests and fuzz targets check that callers refused long text first.
using SkeletonHook = void (*)(const QString& text);
void setSkeletonHook(SkeletonHook hook);

} // namespace names
