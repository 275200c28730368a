// Ctrl-C, a hang-up of the terminal and `kill`: the batch takes no new file, the library
// stops the operations in work (each removes what it had written and leaves an existing
// destination as it was), and the program says what was left unfinished and ends with
// 128 + the signal's number (130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP). A second
// signal ends the program at once.
#pragma once

#include <string>

namespace tarn::cli {

// Thrown where work stops for an interruption.
struct Interrupted {};

// Installs the handlers of SIGINT, SIGTERM and SIGHUP.
void HandleInterrupts();

// The first of those signals received; 0 while none was.
int InterruptSignal();

// Throws Interrupted once a signal was received.
void ThrowIfInterrupted();

// "SIGINT", "SIGTERM", "SIGHUP".
std::string SignalName(int signal);

inline int InterruptExitStatus(int signal) { return 128 + signal; }

}  // namespace tarn::cli
