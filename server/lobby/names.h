// What makes a player's or a room's name acceptable, and when two names are
// the same name: compared by how they look, not by their code points.
#pragma once

#include <QString>

namespace names {

// Key under which names are compared: compatibility-normalised, case folded,
// invisible characters removed and the common look-alike letters of Latin,
// Cyrillic and Greek folded onto one letter ("Аlice" with a Cyrillic A,
// "ALICE" and "Alice" share a skeleton).
QString skeleton(const QString& name);

// Why the characters of a name are not acceptable (an empty string when they
// are): invisible, control or filler characters, lone surrogates, or a name
// made of combining marks only.
QString characterProblem(const QString& name);

} // namespace names
