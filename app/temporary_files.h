// Temporary output files that an interrupted or failing run must not leave
// behind.
//
// The outputs of a run are written to temporaries beside their targets and
// renamed at the end (OutputFiles in command_support.h). A failure that
// unwinds removes them there; this registry covers the ends that do not
// unwind: a signal (SIGINT, SIGTERM, SIGHUP, and SIGABRT from a terminating
// process) and a run of several processes ended by MPI_Abort. The registry
// is a fixed table of paths, so that a signal handler may read it: the
// handler unlinks every registered temporary, restores the signal's default
// action and raises the signal again, so the process still ends by the signal
// (the shell shows status 130, 143 or 129). Only SIGKILL leaves temporaries.
//
//   install_temporary_cleanup();            // once, in main
//   { SignalsHeld held; create the file; remember_temporary(path); }
//   ... ; { SignalsHeld held; rename it; forget_temporary(path); }
#pragma once

#include <csignal>
#include <string>

namespace kelp_sae::cli {

// Registers `path` for removal; false when the table is full (then only the
// unwinding removes it).
bool remember_temporary(const std::string& path) noexcept;
// Takes `path` off the table (after it was renamed or removed).
void forget_temporary(const std::string& path) noexcept;
// Unlinks every registered temporary and empties the table;
// async-signal-safe.
void remove_remembered_temporaries() noexcept;

// Installs the handlers of SIGINT, SIGTERM, SIGHUP and SIGABRT that remove
// the registered temporaries and then end the process by the same signal. A
// signal ignored when the program started (SIGINT and SIGHUP of a background
// job) stays ignored.
void install_temporary_cleanup();

// Holds those signals back in this thread while it lives, so that a file is
// never created or renamed without the table knowing it. A signal that
// arrives meanwhile is delivered when the holder ends.
class SignalsHeld {
 public:
  SignalsHeld() noexcept;
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_{};
};

}  // namespace kelp_sae::cli
