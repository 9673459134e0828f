// Where waiting numbers are found: the runtime folder with one Unix socket "<number>.sock" per
// number that a process waits on, and beside it "<number>.lock", held (flock) by that process for
// as long as it listens. A socket whose lock nobody holds is a dead process's and is replaced.
#pragma once

#include <memory>
#include <string>

namespace lineservice {

// $QX_LINE_RUNTIME_DIR, else $XDG_RUNTIME_DIR/qxcomm, else /tmp/qxcomm-<uid>; created with mode
// 0700. Empty, with the reason, when it cannot be made or is not the user's own.
std::string RuntimeFolder(std::string& error);

class Listener {
public:
  enum class Failure { None, Taken, System };

  // Listens for calls to `number`; nullptr with the reason (Taken: another process waits on it).
  static std::unique_ptr<Listener> Open(const std::string& number, Failure& failure, std::string& error);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  int Fd() const { return m_Socket; }
  // A waiting caller's socket, or -1.
  int Accept();
  // Stops waiting at once (the socket file goes, the number is free for anyone); the socket
  // itself is closed with the object, so that a poll still watching it stays safe.
  void Shutdown();
  bool Active() const { return m_Lock >= 0; }

private:
  Listener(int socket, int lock, std::string path) : m_Socket(socket), m_Lock(lock), m_Path(std::move(path)) {}

  const int m_Socket;
  int m_Lock;  // guarded by the service lock, as every use of a listener
  const std::string m_Path;
};

// A socket connected to the process that waits on `number`; -1 when nobody waits there.
int ConnectToNumber(const std::string& number);

}  // namespace lineservice
