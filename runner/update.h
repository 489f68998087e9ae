#pragma once

// Moves staged program files from ./update/ into the package directory.
// Returns 1 when the runner's own file was replaced, else 0.
int handleUpgrade();

// Installs ./update/<fileName> over ./<fileName>; 1 when it did.
int handleUpgradeForFile(const char *fileName);
