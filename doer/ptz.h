#pragma once

// Moves the camera to the preset named in a "ptz:<preset>;xxxxx<mode>"
// command; 0 when moved and everything was released, 123 on any failure.
int doPtz(const char *ptzCommand);
