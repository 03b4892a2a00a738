#pragma once
// IGpioLine on libgpiod 1.6. The chip and the line's request are owned by unique_ptr with
// the library's own release calls, the request released before the chip is closed.

#include <memory>
#include <string>

#include "device/ReaderPower.h"

struct gpiod_chip;
struct gpiod_line;

namespace device {

class LibgpiodLine : public IGpioLine {
 public:
  int Open(const std::string& chip, unsigned line) override;
  int RequestAsIs(const char* consumer) override;
  int SetDirectionOutput(int level) override;
  int GetValue() override;
  void Release() override;
  void Close() override;

 private:
  struct ChipCloser {
    void operator()(gpiod_chip* chip) const;
  };
  struct LineReleaser {
    void operator()(gpiod_line* line) const;
  };

  std::unique_ptr<gpiod_chip, ChipCloser> chip_;
  gpiod_line* line_ = nullptr;  // belongs to chip_
  std::unique_ptr<gpiod_line, LineReleaser> request_;
};

}  // namespace device
