#pragma once

// Makes the program's compiled-in icons (":/open", ":/download", ...) available. The icons
// live in the widget library, whose resource registration a linker may leave out unless
// something calls it; every widget that shows an icon calls this first (cheap after once).
void loadIcons();
