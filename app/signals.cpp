#include "app/signals.h"

#include <signal.h>

#include <atomic>

#include "convert/text_file.h"

namespace quarn {

namespace {

std::atomic<int> stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Removes what is half written and lets the signal end the program with its
// usual status: the disposition is back at the default (SA_RESETHAND), and
// the signal raised again here is delivered as soon as the handler returns.
void EndNow(int sig) {
  RemoveTemporaryTextFiles();
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void AskToStop(int sig) {
  int none = 0;
  // A second request does not wait for the documents in progress.
  if (!stop_signal.compare_exchange_strong(none, sig)) EndNow(sig);
}

// Nobody reads what the run writes any more (`quarn --batch --jsonl | head`):
// the run stops as it would when asked to, and the writes that follow,
// which fail, neither stop it again nor end it at once.
void StopOnce(int sig) {
  int none = 0;
  stop_signal.compare_exchange_strong(none, sig);
}

void Install(int sig, void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  ::sigaction(sig, &action, nullptr);
}

// A signal the caller chose to ignore (nohup, a shell's background job)
// stays ignored.
bool Ignored(int sig) {
  struct sigaction old {};
  return ::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN;
}

}  // namespace

void InstallCleanupHandlers() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP})
    if (!Ignored(sig)) Install(sig, EndNow, SA_RESETHAND);
}

void InstallStopHandlers() {
  for (int sig : {SIGINT, SIGTERM})
    if (!Ignored(sig)) Install(sig, AskToStop, SA_RESTART);
  if (!Ignored(SIGPIPE)) Install(SIGPIPE, StopOnce, SA_RESTART);
}

int StopSignal() { return stop_signal.load(); }

}  // namespace quarn
