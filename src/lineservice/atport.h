// A serial port with a modem behind it, in command mode: opened exclusively (never one that
// another program holds), set to the configuration's DCB, and talked to one command at a time.
// Every wait is bounded; bytes are read one at a time, so that what follows a CONNECT stays in the
// port for whoever reads the call's data. Used by the line service's AT modems and by qxline.
#pragma once

#include "lineservice/atresult.h"

#include "platform/wintypes.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lineservice {

class AtPort {
public:
  enum class Failure { None, InUse, Missing, Other };
  using Log = std::function<void(const std::string& text)>;
  using Millis = std::chrono::milliseconds;

  // nullptr with the failure and its reason (naming the holder of a port in use, where known).
  // `dcb` null keeps the port's rate and framing.
  static std::unique_ptr<AtPort> Open(const std::string& path, const DCB* dcb, Log log, Failure& failure,
                                      std::string& why);
  ~AtPort();
  AtPort(const AtPort&) = delete;
  AtPort& operator=(const AtPort&) = delete;

  HANDLE Handle() const { return m_Handle; }
  const std::string& Path() const { return m_Path; }
  // The port reports modem lines (a serial port; a pty has none).
  bool HasModemLines() const { return m_HasModemLines; }

  // Writes the bytes; false when the port does not take them within a bound.
  bool Send(const std::string& bytes);
  // The next line within the bound, or nullopt (time-out, `cancel` set, or the port failed: see
  // Broken). Lines that are the echo of the last command are skipped.
  std::optional<std::string> ReadLine(Millis bound, const std::atomic<bool>* cancel = nullptr);
  // Sends a command and waits for its final result (OK, ERROR, CONNECT, BUSY...); other lines
  // are collected into `text` when given, unknown ones logged. nullopt when the bound passes.
  std::optional<AtResult> Command(const std::string& command, Millis bound, std::vector<std::string>* text = nullptr);
  // Takes the line feed that ends a verbose result after its carriage return (the splitter ends
  // lines at the carriage return), so that it does not reach whoever reads the call's data.
  void TakeLineFeed();
  // Waits until what was written has left the port, at most the bound.
  void Drain(Millis bound);
  // Drops what the port has received and not read.
  void Discard();
  // Sets DTR (false drops it), keeping the rest of the port's state.
  bool SetDtr(bool on);
  // The port itself failed (unplugged, closed under us): nothing more can be read or written.
  bool Broken() const { return m_Broken; }

private:
  AtPort(HANDLE handle, std::string path, Log log);
  std::optional<char> ReadByte(Millis bound);

  const HANDLE m_Handle;
  const std::string m_Path;
  const Log m_Log;
  bool m_HasModemLines = false;
  bool m_Broken = false;
  std::string m_Echo;  // the last command without its terminator
  LineSplitter m_Splitter;
};

// Whether a result ends a command (OK, ERROR, CONNECT, BUSY, NO CARRIER...); intermediate ones
// (CARRIER, PROTOCOL, RINGING) and RING do not.
bool FinalResult(const AtResult& result);

}  // namespace lineservice
