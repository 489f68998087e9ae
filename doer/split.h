#pragma once

// Cuts txt at every delim; *tokens receives a new array of new strings, one
// per field (the caller frees each, then the array). Returns their number.
int split(const char *txt, char delim, char ***tokens);
