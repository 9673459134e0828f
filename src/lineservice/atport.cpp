#include "lineservice/atport.h"

#include "lineservice/portholder.h"

#include "platform/commdevices.h"
#include "platform/winapi.h"

#include <cctype>
#include <thread>

namespace lineservice {

namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;
constexpr DWORD kReadSliceMs = 50;
constexpr DWORD kWriteBoundMs = 2000;

struct Request {
  OVERLAPPED record{};
  Request() { record.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr); }
  ~Request() { CloseHandle(record.hEvent); }
};

// Completes a request within the bound (cancelling it after); the count, or -1.
long Finish(HANDLE port, BOOL started, DWORD count, Request& request, DWORD boundMs) {
  if (started) return long(count);
  if (GetLastError() != ERROR_IO_PENDING) return -1;
  if (WaitForSingleObject(request.record.hEvent, boundMs) != WAIT_OBJECT_0) CancelIoEx(port, &request.record);
  DWORD transferred = 0;
  return GetOverlappedResult(port, &request.record, &transferred, TRUE) ? long(transferred) : -1;
}

std::string Printable(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') out += "<cr>";
    else if (c == '\n') out += "<lf>";
    else if (static_cast<unsigned char>(c) < 0x20) out += '.';
    else out += c;
  }
  return out;
}

}  // namespace

bool FinalResult(const AtResult& result) {
  switch (result.kind) {
    case AtResultKind::Ok:
    case AtResultKind::Connect:
    case AtResultKind::NoCarrier:
    case AtResultKind::Error:
    case AtResultKind::NoDialtone:
    case AtResultKind::Busy:
    case AtResultKind::NoAnswer: return true;
    default: return false;
  }
}

std::unique_ptr<AtPort> AtPort::Open(const std::string& path, const DCB* dcb, Log log, Failure& failure,
                                     std::string& why) {
  failure = Failure::None;
  if (const auto holder = FindPortHolder(path)) {
    failure = Failure::InUse;
    why = "the port " + path + " is in use by " + holder->Describe();
    return nullptr;
  }
  const HANDLE handle = platform::OpenTtyDevice(path.c_str());
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    char text[256] = {};
    FormatSystemMessage(error, text, sizeof text);
    failure = error == ERROR_SHARING_VIOLATION ? Failure::InUse
              : error == ERROR_FILE_NOT_FOUND  ? Failure::Missing
                                               : Failure::Other;
    why = "the port " + path + " cannot be opened: " +
          (failure == Failure::InUse ? std::string("another program (or line) holds it") : std::string(text));
    return nullptr;
  }
  std::unique_ptr<AtPort> port(new AtPort(handle, path, std::move(log)));
  if (dcb) {
    DCB state = *dcb;
    state.DCBlength = sizeof(DCB);
    state.fBinary = 1;
    state.fAbortOnError = 0;
    state.fDtrControl = DTR_CONTROL_ENABLE;
    if (state.fRtsControl != RTS_CONTROL_HANDSHAKE) state.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(handle, &state)) {
      failure = Failure::Other;
      why = "the port " + path + " does not take the rate " + std::to_string(state.BaudRate) + " or its framing";
      return nullptr;
    }
  }
  // A read returns at once with a byte that is there, or after a slice without one.
  COMMTIMEOUTS timeouts{kMaxDword, kMaxDword, kReadSliceMs, 0, kWriteBoundMs};
  SetCommTimeouts(handle, &timeouts);
  DWORD lines = 0;
  port->m_HasModemLines = GetCommModemStatus(handle, &lines) != FALSE;
  PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return port;
}

AtPort::AtPort(HANDLE handle, std::string path, Log log) : m_Handle(handle), m_Path(std::move(path)), m_Log(std::move(log)) {}

AtPort::~AtPort() { CloseHandle(m_Handle); }

bool AtPort::Send(const std::string& bytes) {
  Request write;
  DWORD done = 0;
  const BOOL started = WriteFile(m_Handle, bytes.data(), DWORD(bytes.size()), &done, &write.record);
  const long n = Finish(m_Handle, started, done, write, kWriteBoundMs + 1000);
  if (n < 0 && GetLastError() == ERROR_INVALID_HANDLE) m_Broken = true;
  return n == long(bytes.size());
}

std::optional<char> AtPort::ReadByte(Millis bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  do {
    Request read;
    char byte = 0;
    DWORD got = 0;
    const BOOL started = ReadFile(m_Handle, &byte, 1, &got, &read.record);
    const long n = Finish(m_Handle, started, got, read, kReadSliceMs + 1000);
    if (n < 0) {
      m_Broken = true;
      return std::nullopt;
    }
    if (n == 1) return byte;
  } while (std::chrono::steady_clock::now() < deadline);
  return std::nullopt;
}

std::optional<std::string> AtPort::ReadLine(Millis bound, const std::atomic<bool>* cancel) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!m_Broken && !(cancel && cancel->load())) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) break;
    const auto byte = ReadByte(std::min(left, Millis(kReadSliceMs)));
    if (!byte) continue;
    if (auto line = m_Splitter.Feed(*byte)) {
      if (!m_Echo.empty() && *line == m_Echo) continue;  // the modem echoes until E0 is in force
      return line;
    }
  }
  return std::nullopt;
}

std::optional<AtResult> AtPort::Command(const std::string& command, Millis bound, std::vector<std::string>* text) {
  m_Echo = command;
  while (!m_Echo.empty() && (m_Echo.back() == '\r' || m_Echo.back() == '\n')) m_Echo.pop_back();
  m_Splitter.Clear();
  if (m_Log) m_Log("sent " + Printable(command));
  if (!Send(command)) {
    if (m_Log) m_Log("the port did not take " + Printable(command));
    return std::nullopt;
  }
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const auto line = ReadLine(left);
    if (!line) break;
    const AtResult result = ParseResult(*line);
    if (FinalResult(result)) {
      if (m_Log) m_Log("answer " + *line);
      return result;
    }
    if (text) text->push_back(*line);
    else if (m_Log) m_Log("ignored " + Printable(*line));
  }
  if (m_Log) m_Log("no answer to " + Printable(command));
  return std::nullopt;
}

void AtPort::TakeLineFeed() { ReadByte(Millis(kReadSliceMs)); }

void AtPort::Drain(Millis bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    COMSTAT stat{};
    DWORD errors = 0;
    if (!ClearCommError(m_Handle, &errors, &stat) || stat.cbOutQue == 0) return;
    if (std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(Millis(5));
  }
}

void AtPort::Discard() {
  PurgeComm(m_Handle, PURGE_RXCLEAR);
  m_Splitter.Clear();
}

bool AtPort::SetDtr(bool on) {
  DCB state{};
  if (!GetCommState(m_Handle, &state)) return false;
  state.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  return SetCommState(m_Handle, &state) != FALSE;
}

}  // namespace lineservice
