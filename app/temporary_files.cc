#include "app/temporary_files.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>

namespace kelp_sae::cli {
namespace {

// A run writes at most four outputs; the rest of the table is room for tests
// that run the program's commands in process.
constexpr std::size_t kSlots = 32;
constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGABRT};

// A slot is free (0), being filled (1) or holds a path (2); the handler
// reads only slots that hold a path.
struct Slot {
  std::atomic<int> state{0};
  char path[PATH_MAX]{};
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free state");

std::array<Slot, kSlots> slots;

extern "C" void remove_and_reraise(int signal_number) {
  remove_remembered_temporaries();
  // The handler was installed with SA_RESETHAND: the default action is back,
  // and the signal, blocked while the handler runs, ends the process on return.
  std::raise(signal_number);
}

sigset_t handled_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : kHandledSignals) sigaddset(&set, s);
  return set;
}

}  // namespace

bool remember_temporary(const std::string& path) noexcept {
  if (path.size() >= PATH_MAX) return false;
  for (Slot& slot : slots) {
    int expected = 0;
    if (!slot.state.compare_exchange_strong(expected, 1)) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.state.store(2);
    return true;
  }
  return false;
}

void forget_temporary(const std::string& path) noexcept {
  for (Slot& slot : slots) {
    if (slot.state.load() == 2 && path == slot.path) {
      slot.state.store(0);
      return;
    }
  }
}

void remove_remembered_temporaries() noexcept {
  for (Slot& slot : slots) {
    int expected = 2;
    if (slot.state.compare_exchange_strong(expected, 1)) {
      ::unlink(slot.path);
      slot.state.store(0);
    }
  }
}

void install_temporary_cleanup() {
  for (const int s : kHandledSignals) {
    struct sigaction current {};
    if (::sigaction(s, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = remove_and_reraise;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(s, &action, nullptr);
  }
}

SignalsHeld::SignalsHeld() noexcept {
  const sigset_t set = handled_set();
  ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

SignalsHeld::~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace kelp_sae::cli
