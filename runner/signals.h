#pragma once

// Holds SIGTERM back until its handler is installed, so that a stop during
// the start (the update pass included) is not a kill.
void holdSigterm();

// On an exit before the handler exists: a SIGTERM held meanwhile ends the
// runner now, as a stop.
void endIfStopPending();

// Makes the runner a process-group leader and installs handle_sigterm.
void init_signals();

// Quits the main loop and passes SIGTERM on to the worker.
void handle_sigterm(int signo);

// A stop that arrived before the worker existed reaches it now.
void forwardPendingStop();

// Puts SIGTERM aside and closes what init_signals opened.
void release_signals();
