// A tty device made in a test: a pty whose slave end is published as an entry of a folder, with
// the device's side (the master) driven by the test byte by byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/fd_util.h"

namespace varnel::test {

class PtyDevice {
  public:
    // Publishes the slave as `folder`/`name`; a test failure when that cannot be done.
    PtyDevice(const std::string& folder, const std::string& name);
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    const std::string& Entry() const { return entry_; }
    // The device path the tty transport reports for it.
    std::string DevicePath() const;

    void Send(const void* data, size_t size);
    void Send(const std::string& text) { Send(text.data(), text.size()); }
    // What the host has written, waiting up to `timeoutMs` until `size` bytes are there.
    std::vector<uint8_t> Receive(size_t size, uint32_t timeoutMs = 2000);
    // Gone from the folder and hung up, as an unplugged device.
    void Unplug();

  private:
    std::string name_;
    std::string entry_;
    UniqueFd master_;
    // Keeps the pty from hanging up while no host has it open.
    UniqueFd slave_;
};

}  // namespace varnel::test
