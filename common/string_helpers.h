#pragma once

#include <glib.h>

// TRUE when str begins with pre (byte comparison; an empty pre matches).
gboolean startsWith(const char *str, const char *pre);

// Copies l characters of s from the 1-based position p into sub and ends it
// with a zero. No bounds are checked: s must hold p+l-1 characters and sub
// must have room for l+1.
void substring(char *s, char *sub, int p, int l);
