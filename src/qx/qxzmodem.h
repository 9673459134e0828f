// TqxZModem: the ZModem file-transfer component of the library.
#pragma once

#include "platform/wintypes.h"
#include "qx/qxdataprocessor.h"
#include "qx/qxsequencedetector.h"
#include "qx/qxzmodemframing.h"
#include "qx/qxzmodemrouting.h"
#include "qx/qxzmodemtime.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QPointer>
#include <QProgressBar>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class TqxTimer;

enum TzModemOption {
  zoCreateWithNewName,  // receiving: an existing file gets a numbered new name
  zoOverwrite,          // receiving: an existing file is overwritten
  zoNotWaitFinal,       // sending: end after the final ZFIN and "OO" without the receiver's ZFIN
  zoCheckConnection,    // sending: refuse to start while the attached I/O component is closed
  zoIgnoreFileTime,     // receiving: the file keeps the time of its writing
  zoChallenge,          // receiving: ZRQINIT is answered with ZCHALLENGE first
  zoResuming,           // sending: offer resume; receiving: continue a shorter existing file
  zoWithoutRZ,          // no "rz\r" before ZRQINIT, and a ZRQINIT alone starts receiving
  zoSegmentTransfer,    // sending: every block waits for ZACK
  zoEscCtrls,           // sending: every control byte is escaped, ZSINIT precedes every file
};
using TzModemOptions = TSet<TzModemOption, std::uint16_t>;

// Why a session was aborted.
enum TzAbortType { zeByMe, zeByRemote, zeByTimeOut, zeByBadCRC, zeByCommError, zeByUnknown, zeByMedia };

// Text that came from the remote side (file names above all), made safe to show on a terminal or
// to log: every character that is not printable becomes '?', so no control character or escape
// sequence reaches the screen.
QString PrintableText(const QString& Text);

using TFileNameReceivedEvent = std::function<void(QObject* Sender, QString& FileName, bool& flSkip)>;
using TZAbortEvent = std::function<void(QObject* Sender, TzAbortType Error)>;
using TFileSentEvent = std::function<void(QObject* Sender, const QString& FileName, bool flComplete)>;
using TFileReceivedEvent = std::function<void(QObject* Sender, const QString& FileName)>;

// Sends and receives files with the ZModem protocol as a data processor behind an I/O component.
// While Active it answers any remote sender by itself; SendFile starts a sending session; Abort
// ends a session. It sends through OnDataSend or the I/O component and hides the session's bytes
// from the terminal. Everything runs on the main thread.
class TqxZModem : public TqxCustomDataProcessor, private TZModemFramingEvents {
  Q_OBJECT
  Q_PROPERTY(bool AbortNoCarrier READ AbortNoCarrier WRITE SetAbortNoCarrier)
  Q_PROPERTY(std::uint32_t ErrorLimit READ ErrorLimit WRITE SetErrorLimit)
  Q_PROPERTY(QProgressBar* ProgressBar READ ProgressBar WRITE SetProgressBar)
  Q_PROPERTY(QString DefaultPath READ DefaultPath WRITE SetDefaultPath)
  Q_PROPERTY(std::uint16_t Options READ OptionBits WRITE SetOptionBits)
  Q_PROPERTY(std::uint32_t TimeOut READ TimeOut WRITE SetTimeOut)
  Q_PROPERTY(std::uint32_t TimeOutRetries READ TimeOutRetries WRITE SetTimeOutRetries)

public:
  enum TzRole { zrIdle, zrSending, zrReceiving };

  explicit TqxZModem(QObject* owner = nullptr);
  ~TqxZModem() override;

  // Queues the files and masks of FileNames (separated by ",", ";" or line breaks) and starts
  // sending them.
  void SendFile(const QString& FileNames);
  // Starts receiving at once, as if the remote sender had sent ZRQINIT: answers ZRINIT (or
  // ZCHALLENGE) and waits for its file. For programs told to receive, as rz announces itself to a
  // sender that is already waiting. False while inactive, with no way to send (no OnDataSend and no
  // open line), or in a session.
  bool BeginReceive();
  void Abort();

  void DataReceived(const char* Buffer, int Count, TProcessorFlags& Flags) override;
  using TqxCustomDataProcessor::DataReceived;
  void TxEmpty(bool& Handled) override;
  // While streaming, a transmit queue that has run down to half its bound is filled again.
  void WriteCompleted() override;
  void MediumClosed() override;

  bool AbortNoCarrier() const { return m_AbortNoCarrier; }
  void SetAbortNoCarrier(bool Value) { m_AbortNoCarrier = Value; }
  std::uint32_t ErrorLimit() const { return m_ErrorLimit; }
  void SetErrorLimit(std::uint32_t Value) { m_ErrorLimit = Value; }
  QProgressBar* ProgressBar() const { return m_ProgressBar; }
  void SetProgressBar(QProgressBar* Value);
  QString DefaultPath() const { return m_DefaultPath; }
  void SetDefaultPath(const QString& Value) { m_DefaultPath = Value; }
  TzModemOptions Options() const { return m_Options; }
  void SetOptions(TzModemOptions Value) { m_Options = Value; }
  std::uint32_t TimeOut() const { return m_TimeOut; }
  void SetTimeOut(std::uint32_t Value) { m_TimeOut = Value; }
  std::uint32_t TimeOutRetries() const { return m_TimeOutRetries; }
  void SetTimeOutRetries(std::uint32_t Value) { m_TimeOutRetries = Value; }

  // The session as it stands, for displays and tests.
  TzState State() const { return m_State; }
  TzRole Role() const { return m_Role; }
  QString FileName() const { return m_FileName; }
  std::uint32_t TotalBytes() const { return m_TotalBytes; }
  // Queued paths in order; the current file leaves the queue once the receiver accepts it.
  QStringList QueuedFiles() const;

  TFileNameReceivedEvent OnBeforeReceived;
  TNotifyEvent OnCRCError;
  TNotifyEvent OnProgress;
  TNotifyEvent OnTimeOut;
  TNotifyEvent OnSuccessfulEnd;
  TZAbortEvent OnAbort;
  TFileSentEvent OnAfterFileSent;
  TFileReceivedEvent OnAfterFileReceived;
  TFileSentEvent OnBeforeFileSend;

private:
  struct TQueuedFile {
    QString Path;
    std::uint32_t Size;
  };

  // Framing events.
  void FrameSend(const QByteArray& Bytes, bool AsBuffer) override;
  void FrameLog(TDetailLevel Level, const QString& Text) override;
  bool FrameLogs(TDetailLevel Level) const override;
  void HeaderReceived(const TZHeader& Header) override;
  void HeaderInData(const TZHeader& Header) override;
  void BlockReceived(const std::uint8_t* Data, int Length, std::uint8_t FrameEnd) override;
  void BadCrc() override;

  std::uint16_t OptionBits() const { return m_Options.Bits(); }
  void SetOptionBits(std::uint16_t Value) { m_Options = TzModemOptions::FromBits(Value); }
  bool Has(TzModemOption Option) const { return m_Options.Contains(Option); }
  bool SessionActive() const { return m_Role != zrIdle; }
  void SendHeader(std::uint8_t Type, std::uint32_t Position, bool Binary = false);
  void SendFlagsHeader(std::uint8_t Type, std::uint8_t F0);

  // Time-outs and aborts.
  void StartTimeout();
  void StopTimeout();
  void TimeoutElapsed();
  void AbortSession(TzAbortType Reason);
  void AnswerAbort();
  void EndSession();

  // Files.
  // What a name in the receive folder stands for: nothing, a regular file, or anything else (a
  // symbolic link, dangling or not, a folder, a device...).
  enum class TEntry { None, RegularFile, Other };
  // What became of a received file: opened (created, resumed or overwritten); skipped, because
  // something stands in the way of its name or for another reason; or failed (the session ends).
  enum class TReceiveOpen { Opened, InTheWay, Refused, Failed };

  // Writes the received data still held; false (with the system error) when the file refuses it.
  bool FlushReceived();
  void CloseFile();
  // Opens Name exclusively for reading and writing, or shared for reading only. For writing the
  // name must be a regular file of its own: no symbolic link is followed, and a file that has
  // other names (hard links) is refused.
  bool OpenExistingFile(const QString& Name, bool ForWriting = true);
  TReceiveOpen CreateReceiveFile(QString Name, QString& Reason);
  // Skips the file on offer (ZSKIP) and says why; the batch goes on.
  void RefuseReceive(const QString& Name, const QString& Reason, std::uint32_t Detail, const QString& Message);
  // Refuses the file being received: the part on disk stays, the session ends.
  void FailReceive(std::uint32_t Detail, const QString& Message);
  static TEntry EntryAt(const QString& Name);
  bool SeekFile(std::uint32_t Position);
  void SetReceivedFileTime();

  // Receiving session.
  void DoSessionBegin(std::uint8_t B);
  void DoQInit(const TZHeader& Header);
  void DoZSInit(const TZHeader& Header);
  void DoZFile(const TZHeader& Header);
  void DoZData(const TZHeader& Header);
  void DoZFin(const TZHeader& Header);
  void DoZAck(const TZHeader& Header);
  void DoFileInfo(const std::uint8_t* Data, int Length);
  void DoAttention(const std::uint8_t* Data, int Length);
  void DoZEof(const TZHeader& Header);
  void AnswerRInit(bool AfterEof);
  void AnswerChallenge();
  void AnswerRPos(std::uint32_t Position);
  void AnswerZAck(std::uint32_t Position);
  void AnswerSkip();
  void AnswerFin();

  // Sending session.
  void AnswerBeginSession();
  void AnswerZSInit();
  void AnswerZFile();
  void AnswerZData(bool StartStream);
  void AnswerEof();
  // Keeps the transmit queue fed: data subpackets follow one another until the queue holds its
  // bound, a frame ends, or a window waits for its ZACK. Without a transmit queue one block goes
  // per call.
  void SendNextBlock();
  // One data subpacket (or, at the end of the file, the empty one and ZEOF); its frame end.
  // Window: WindowLength's, for this fill.
  std::uint8_t SendOneBlock(std::uint32_t Window);
  // Most data bytes in one subpacket for this receiver.
  std::uint32_t BlockLimit() const;
  // Bytes the transmit queue is kept filled to; 0 when there is no queue to watch.
  std::uint32_t TransmitBound();
  // Bytes after which a frame ends with ZCRCW and waits for ZACK; 0 for a stream without windows.
  std::uint32_t WindowLength();
  void FlushBatch();
  void DoRInit(const TZHeader& Header);
  void DoChallenge(const TZHeader& Header);
  void DoRPos(const TZHeader& Header);
  void DoZSkip(const TZHeader& Header);
  void DoInterruptRPos(const TZHeader& Header);
  // Goes on from Position with one block that waits for its ZACK, or with the end of file there;
  // false when the file cannot be positioned (the session is then aborted).
  bool SendFrom(std::uint32_t Position);
  void ShowSendProgress();

  TZModemFraming m_Framing;
  std::unique_ptr<TqxTimer> m_TimeoutTimer;
  TzState m_State = zsWaitStart;
  TzRole m_Role = zrIdle;
  bool m_DropRest = false;
  // The "OO" a sender ends with, still to come after this side's final ZFIN, and until when.
  static constexpr int kOverAndOutMs = 1000;
  int m_OverAndOut = 0;
  QDeadlineTimer m_OverAndOutDeadline;
  SequenceDetector m_StartDetector;
  SequenceDetector m_CancelDetector;
  std::uint32_t m_RetryCount = 0;
  std::uint32_t m_CrcErrors = 0;  // since the session began or a subpacket last advanced the file

  QString m_FileName;
  HANDLE m_File = INVALID_HANDLE_VALUE;
  std::uint32_t m_FilePos = 0;
  std::uint32_t m_Size = 0;
  std::uint32_t m_AnnouncedSize = 0;
  QDateTime m_FileTime;
  bool m_ResumeRequested = false;
  std::uint32_t m_ChallengeValue = 0;
  // Received file data not yet written: written at 64 KiB, before each acknowledgement and at the end.
  std::vector<std::uint8_t> m_WriteBehind;

  std::vector<TQueuedFile> m_FileQueue;
  std::uint32_t m_TotalBytes = 0;
  std::uint32_t m_StartedBytes = 0;
  bool m_FrontCounted = false;
  bool m_Streaming = false;
  bool m_StreamProgress = false;  // a block went out since the last time-out
  bool m_WindowAckDue = false;    // a stream frame ended with ZCRCW and waits for its ZACK
  std::uint8_t m_StreamFrameEnd = ZCRCG;
  std::uint32_t m_FrameStart = 0;  // file position of the last ZDATA sent
  // What the receiver announced in ZRINIT: its buffer size (0: no limit) and full duplex.
  std::uint32_t m_RxBufferSize = 0;
  bool m_RxFullDuplex = true;
  // The subpackets of one fill, handed to the I/O component in one write.
  bool m_Batching = false;
  QByteArray m_TxBatch;
  std::array<std::uint8_t, kMaxTxBlock> m_TxData{};

  bool m_AbortNoCarrier = false;
  std::uint32_t m_ErrorLimit = 255;
  QPointer<QProgressBar> m_ProgressBar;
  QString m_DefaultPath;
  TzModemOptions m_Options{zoCreateWithNewName, zoResuming};
  std::uint32_t m_TimeOut = 10000;
  std::uint32_t m_TimeOutRetries = 3;
};
