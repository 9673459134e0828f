// The comm device behind a comm handle: the Windows serial-driver semantics (input queue, queued
// overlapped reads and writes with COMMTIMEOUTS, the comm event mask with its history, line errors,
// DCB and queue sizes) on one I/O thread per open device. Device kinds (tty, plain fd, virtual link)
// derive from it and only move bytes between the queues and their transport.
#pragma once

#include "platform/event.h"
#include "platform/kernelobject.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include <poll.h>

namespace platform {

// OVERLAPPED.Internal while a request is pending (the value of Windows' STATUS_PENDING).
constexpr ULONG_PTR kIoPending = 0x103;

// Stores a request's result into its record the way readers expect it (atomically, count first).
void StoreOverlappedResult(OVERLAPPED* overlapped, DWORD error, DWORD count);

// The comm events of a change of modem lines (MS_ bits): EV_CTS, EV_DSR and EV_RLSD on any change of
// their line, EV_RING when RI turns on.
DWORD ModemLineEvents(DWORD before, DWORD after);

class CommDevice : public KernelObject {
public:
  using Clock = std::chrono::steady_clock;

  ~CommDevice() override;

  // The Windows calls on this device; each fails with ERROR_INVALID_HANDLE once the device is closed.
  // Requests remember the handle they were issued through (`via`): cancelling and closing a
  // handle end its own requests and no other handle's.
  BOOL Read(HANDLE via, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) override;
  BOOL Write(HANDLE via, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped) override;
  BOOL CancelIo(HANDLE via);
  // Aborts the requests issued through `via` with this record; ERROR_NOT_FOUND when none is pending.
  BOOL CancelRequest(HANDLE via, const OVERLAPPED* overlapped);
  void HandleClosed(HANDLE via) override;
  BOOL ClearCommError(DWORD* errors, COMSTAT* stat);
  BOOL GetCommState(DCB* dcb);
  BOOL SetCommState(const DCB* dcb);
  BOOL GetCommConfig(COMMCONFIG* config, DWORD* size);
  BOOL GetCommModemStatus(DWORD* modemStatus);
  BOOL GetCommProperties(COMMPROP* prop);
  BOOL GetCommTimeouts(COMMTIMEOUTS* timeouts);
  BOOL SetCommTimeouts(const COMMTIMEOUTS* timeouts);
  BOOL PurgeComm(DWORD flags);
  BOOL SetCommMask(DWORD mask);
  BOOL GetCommMask(DWORD* mask);
  BOOL SetupComm(DWORD inQueue, DWORD outQueue);
  BOOL WaitCommEvent(HANDLE via, DWORD* mask, OVERLAPPED* overlapped);
  // WatchCommInput of commdevices.h.
  BOOL SetInputWatcher(std::function<void(const BYTE*, std::size_t)> watcher);
  // GetOverlappedResult's part: blocks until no request issued on `overlapped` is pending here
  // (wait), or tells whether one still is; true when none is pending any more.
  bool AwaitCompletion(const OVERLAPPED* overlapped, bool wait);

  // Makes the device inert: every pending request completes (aborted), the I/O thread ends and is
  // joined, then the device releases its transport. Safe to call more than once.
  void Close() override;

protected:
  // lock: the mutex that guards this device's state; devices that hand bytes to each other share one.
  explicit CommDevice(std::shared_ptr<std::mutex> lock);

  // Starts the I/O thread; the factory calls it once the object is fully built.
  void Start();

  // Hooks for the device kinds, all called with the lock held.
  // Poll interest of the transport this round (no entry, or events 0, for nothing to wait on).
  virtual void AddPollFds(std::vector<pollfd>& fds) { (void)fds; }
  // Moves bytes after a poll round (revents of the entries AddPollFds added), and at once when a
  // write is issued while the output was idle (fds empty then).
  virtual void Service(std::span<const pollfd> fds, Clock::time_point now) { (void)fds, (void)now; }
  // A time the transport needs the I/O thread to run Service again (pacing, drain checks).
  virtual std::optional<Clock::time_point> DeviceDeadline() const { return std::nullopt; }
  // Validates and applies a new DCB; FALSE with the last error set refuses it.
  virtual BOOL ApplyState(const DCB& dcb) { (void)dcb; return TRUE; }
  // Overwrites the DCB fields the transport knows better (termios) before GetCommState returns it.
  virtual void ReadBackState(DCB& dcb) { (void)dcb; }
  virtual BOOL ModemStatus(DWORD* status) { (void)status; return Fail(ERROR_NOT_SUPPORTED); }
  // Bytes written to the transport that have not left it yet.
  virtual DWORD TransportOutQueue() { return 0; }
  virtual void PurgeTransport(DWORD flags) { (void)flags; }
  virtual DWORD ProviderSubType() const { return PST_RS232; }
  // COMSTAT hold bits (fCtsHold...), filled in by devices that know them.
  virtual void HoldBits(COMSTAT& stat) { (void)stat; }
  // Room appeared in the input queue (a read or purge took bytes).
  virtual void InputRoomFreed() { WakeLocked(); }
  // Called by Close after the I/O thread has ended: release fds, restore settings.
  virtual void ReleaseTransport() {}

  // Services for the device kinds, all with the lock held.
  std::mutex& Lock() const { return *m_Lock; }
  bool IsClosed() const { return m_Closed; }
  std::size_t InputRoom() const;
  // Bytes that arrived from the transport: queued (never beyond the room), events raised.
  void Receive(const BYTE* data, std::size_t count, Clock::time_point now);
  // No more input will come (EOF or hang-up of the transport).
  void EndOfInput();
  bool HasOutput() const { return !m_Writes.empty(); }
  // The unsent bytes of the write at the head of the queue, and when it was issued.
  const BYTE* OutputData() const;
  std::size_t OutputSize() const;
  Clock::time_point OutputIssued() const;
  // n bytes of the head write have left; completes writes and raises EV_TXEMPTY as due.
  void ConsumeOutput(std::size_t count);
  // The transport cannot send any more: pending and later writes fail with this error.
  void OutputBroken(DWORD error);
  void RaiseEvents(DWORD events);
  void AddLineErrors(DWORD errors);
  void WakeLocked();
  const DCB& State() const { return m_DCB; }

private:
  struct ReadRequest {
    std::uint64_t id = 0;
    HANDLE via = 0;
    OVERLAPPED* overlapped = nullptr;
    std::shared_ptr<Event> event;
    BYTE* buffer = nullptr;
    DWORD count = 0;
    DWORD done = 0;
    std::optional<Clock::time_point> deadline;  // total time-out
    DWORD interval = 0;                         // between two bytes; 0 = none
    bool anyByte = false;                       // complete on the first byte
    bool immediate = false;                     // complete at once with what is there
    Clock::time_point lastByte;
  };
  struct WriteRequest {
    std::uint64_t id = 0;
    HANDLE via = 0;
    OVERLAPPED* overlapped = nullptr;
    std::shared_ptr<Event> event;
    std::vector<BYTE> data;
    std::size_t done = 0;
    Clock::time_point issued;
    std::optional<std::chrono::milliseconds> timeout;
    std::optional<Clock::time_point> deadline;  // set when the write reaches the head
  };
  struct WaitRequest {
    HANDLE via;
    OVERLAPPED* overlapped;
    std::shared_ptr<Event> event;
    DWORD* mask;
  };

  void Run();
  void Complete(OVERLAPPED* overlapped, const std::shared_ptr<Event>& event, DWORD error, DWORD count);
  void CompleteRead(ReadRequest& request, DWORD error);
  void CompleteWait(DWORD error, DWORD mask);
  void FillReads(Clock::time_point now);
  void StartHeadWrite(Clock::time_point now);
  void ExpireRequests(Clock::time_point now);
  void CheckEndOfInput();
  std::optional<Clock::time_point> NextDeadline() const;
  // Abort the requests issued through `via`, or all with 0.
  void AbortReads(HANDLE via = 0);
  void AbortWrites(HANDLE via = 0);
  // Aborts what `via` issued with `overlapped` (any record when null); whether there was any.
  bool AbortRequests(HANDLE via, const OVERLAPPED* overlapped);
  void ScheduleDrainCheck(DWORD queued, Clock::time_point now);
  bool IsPending(const OVERLAPPED* overlapped) const;
  bool IsPendingId(std::uint64_t id) const;
  // The result of request `id` issued on `record`: at once when it has completed, otherwise
  // ERROR_IO_PENDING, or a wait for it when the caller gave no OVERLAPPED (`synchronous`).
  BOOL Outcome(std::unique_lock<std::mutex>& lock, std::uint64_t id, OVERLAPPED* record, bool synchronous,
               DWORD* transferred);

  const std::shared_ptr<std::mutex> m_Lock;
  std::condition_variable m_Completed;
  std::thread m_Thread;
  std::uint64_t m_NextId = 1;
  int m_WakeFd = -1;
  bool m_WakePending = false;
  bool m_Closed = false;

  DCB m_DCB{};
  COMMTIMEOUTS m_Timeouts{};
  DWORD m_InQueueSize = 4096;
  DWORD m_OutQueueSize = 4096;
  DWORD m_EventMask = 0;
  DWORD m_History = 0;
  DWORD m_Errors = 0;
  std::deque<BYTE> m_Input;
  bool m_InputEnded = false;
  DWORD m_OutputError = ERROR_SUCCESS;
  bool m_AwaitTransportDrain = false;
  Clock::time_point m_DrainCheckAt;
  std::deque<ReadRequest> m_Reads;
  std::deque<WriteRequest> m_Writes;
  std::optional<WaitRequest> m_Wait;
  std::function<void(const BYTE*, std::size_t)> m_InputWatcher;
};

}  // namespace platform
