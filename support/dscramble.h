#pragma once

#include "support/cbyte.h"

// Reversible scrambling of short texts (passwords in upload addresses and in the settings file).
// No secret is kept in the program: a random two-character key travels in front of the result,
// which is uppercase hexadecimal text of 2 x (input length + 2) characters.
CByte Scramble(const CByte& plain);
// The exact inverse of Scramble; an empty input or one shorter than the key gives an empty result.
CByte Unscramble(const CByte& scrambledText);
