#include "device/linux/LibgpiodLine.h"

#include <gpiod.h>

#include <cerrno>

namespace device {
namespace {

// errno after a failed call, never 0, so that a failure is never read as success.
int LastErrno() { return errno != 0 ? errno : EIO; }

}  // namespace

void LibgpiodLine::ChipCloser::operator()(gpiod_chip* chip) const { gpiod_chip_close(chip); }

void LibgpiodLine::LineReleaser::operator()(gpiod_line* line) const { gpiod_line_release(line); }

int LibgpiodLine::Open(const std::string& chip, unsigned line) {
  Close();
  errno = 0;
  // A path, a name such as gpiochip0, a number or a label.
  chip_.reset(gpiod_chip_open_lookup(chip.c_str()));
  if (!chip_) return LastErrno();
  line_ = gpiod_chip_get_line(chip_.get(), line);
  if (line_ == nullptr) {
    const int error = LastErrno();
    chip_.reset();
    return error;
  }
  return 0;
}

int LibgpiodLine::RequestAsIs(const char* consumer) {
  if (line_ == nullptr) return ENODEV;
  const gpiod_line_request_config config{consumer, GPIOD_LINE_REQUEST_DIRECTION_AS_IS, 0};
  errno = 0;
  if (gpiod_line_request(line_, &config, 0) != 0) return LastErrno();
  request_.reset(line_);
  return 0;
}

int LibgpiodLine::SetDirectionOutput(int level) {
  if (!request_) return EPERM;
  errno = 0;
  return gpiod_line_set_direction_output(request_.get(), level) == 0 ? 0 : LastErrno();
}

int LibgpiodLine::GetValue() { return request_ ? gpiod_line_get_value(request_.get()) : -1; }

void LibgpiodLine::Release() { request_.reset(); }

void LibgpiodLine::Close() {
  request_.reset();
  line_ = nullptr;
  chip_.reset();
}

}  // namespace device
