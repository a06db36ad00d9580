#include "SignalSource.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace zelvan::fennic::agent {

SignalSource::SignalSource(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : signals) sigaddset(&set, signal);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  fd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
}

SignalSource::~SignalSource() { ::close(fd_); }

void SignalSource::Attach(EventLoop& loop, std::function<void(int)> onSignal) {
  loop.Watch(fd_, [this, onSignal = std::move(onSignal)] {
    signalfd_siginfo info{};
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
      onSignal(static_cast<int>(info.ssi_signo));
  });
}

}  // namespace zelvan::fennic::agent
