// Which handsets a bench takes and on which rows: the chosen devices (by serial or USB port
// path; none chosen takes every one) and the slot map, which pins the USB port path of a hub's
// socket to a port, so that a row always serves the same socket.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "transport/usb_interface.h"

namespace varnel {

class DeviceChoice {
  public:
    void Choose(std::string serialOrPortPath) { m_Chosen.push_back(std::move(serialOrPortPath)); }
    bool Accepts(const DeviceIdentity& identity) const;

    // "N=PORTPATH": N is the port as the window's caption shows it ("PDA 0" is 0), below
    // `portCount`. False with `error` when malformed, out of range, or when the port or the port
    // path is mapped already.
    bool AddSlot(std::string_view text, int portCount, std::string& error);
    // A slot-map file's text: one "N=PORTPATH" a line, '#' starting a comment, blank lines
    // skipped. The error names the line.
    bool AddSlotLines(std::string_view text, int portCount, std::string& error);

    // The port a port path is pinned to, -1 when it has none.
    int MappedPort(const std::string& portPath) const;
    bool IsMappedPort(int port) const;
    bool HasSlots() const { return !m_PortOfPath.empty(); }

  private:
    std::vector<std::string> m_Chosen;
    std::map<std::string, int> m_PortOfPath;
};

}  // namespace varnel
