#pragma once
// A virtual X server (Xvfb) for one test program: started on a free display number (the
// server picks it and reports it through -displayfd), stopped when the object goes.

#include <sys/types.h>

#include <chrono>
#include <string>

namespace xtest {

class Xvfb {
 public:
  // How long the server may take to come up.
  static constexpr std::chrono::seconds kStartTimeout{15};

  Xvfb() = default;
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  // Starts the server and waits until it accepts clients. False, with the reason in
  // error, when it did not come up in time.
  bool Start(std::string& error);
  // Ends the server and waits for it; nothing when it is not running.
  void Stop();
  // The display name, ":N".
  const std::string& Name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace xtest
