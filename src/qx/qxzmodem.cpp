// TqxZModem: construction, properties, the received-byte loop, time-outs, aborts and files.
// The receiving and sending sessions are in qxzmodemreceiver.cpp and qxzmodemsender.cpp.
#include "qx/qxzmodem.h"

#include "platform/winapi.h"
#include "qx/qxbaseio.h"
#include "qx/qxcustomlogfile.h"
#include "qx/qxtimer.h"

#include <QFileInfo>
#include <QProgressBar>

#include <utility>

namespace {

const std::uint8_t kStartCommand[] = {'r', 'z', '\r'};
const std::uint8_t kCancelDetect[] = {0x18, 0x18, 0x18, 0x18, 0x18};
const char kCancelSequence[] = "\x18\x18\x18\x18\x18\x18\x18\x18\x08\x08\x08\x08\x08\x08\x08\x08";

}  // namespace

QString PrintableText(const QString& Text) {
  QString shown = Text;
  for (QChar& c : shown)
    if (!c.isPrint()) c = u'?';
  return shown;
}

TqxZModem::TqxZModem(QObject* owner)
    : TqxCustomDataProcessor(owner), m_Framing(*this), m_TimeoutTimer(std::make_unique<TqxTimer>()) {
  SetLogPrefix(QStringLiteral("qxZModem: "));
  m_TimeoutTimer->SetEnabled(false);
  m_TimeoutTimer->SetOnTimer([this](QObject*) { TimeoutElapsed(); });
  m_Framing.ResetParser();
  m_StartDetector.Pattern = kStartCommand;
  m_StartDetector.Length = sizeof kStartCommand;
  m_CancelDetector.Pattern = kCancelDetect;
  m_CancelDetector.Length = sizeof kCancelDetect;
}

TqxZModem::~TqxZModem() {
  if (SessionActive()) AbortSession(zeByMe);
  CloseFile();
}

// A guarded pointer: it clears itself when the bar is destroyed, without a cast of the dying object.
void TqxZModem::SetProgressBar(QProgressBar* Value) { m_ProgressBar = Value; }

QStringList TqxZModem::QueuedFiles() const {
  QStringList paths;
  for (const TQueuedFile& file : m_FileQueue) paths.append(file.Path);
  return paths;
}

// --- Framing events ---

void TqxZModem::FrameSend(const QByteArray& Bytes, bool AsBuffer) {
  if (AsBuffer && m_Batching) {
    m_TxBatch += Bytes;
    return;
  }
  // Nothing overtakes the blocks of a fill.
  FlushBatch();
  if (AsBuffer)
    SendData(Bytes.constData(), static_cast<std::uint32_t>(Bytes.size()));
  else
    SendString(Bytes);
}

void TqxZModem::FrameLog(TDetailLevel Level, const QString& Text) { LogMessage(Level, Text); }

bool TqxZModem::FrameLogs(TDetailLevel) const { return Log() != nullptr; }

void TqxZModem::SendHeader(std::uint8_t Type, std::uint32_t Position, bool Binary) {
  m_Framing.TxHeader().Set(Type, Position);
  if (Binary)
    m_Framing.SendBinHeader();
  else
    m_Framing.SendHexHeader();
}

void TqxZModem::SendFlagsHeader(std::uint8_t Type, std::uint8_t F0) {
  m_Framing.TxHeader().SetFlags(Type, F0);
  m_Framing.SendHexHeader();
}

// --- Received data ---

void TqxZModem::DataReceived(const char* Buffer, int Count, TProcessorFlags& Flags) {
  if (Active() && Buffer != nullptr) {
    m_DropRest = false;
    // A chunk that a session took any byte of is hidden from the terminal as a whole: the line end
    // of a session's last header, read after the session has ended, is no text to show.
    bool taken = false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(Buffer);
    for (int i = 0; i < Count; ++i) {
      const std::uint8_t b = bytes[i];
      if (!SessionActive()) m_State = Has(zoWithoutRZ) ? zsWaitQInit : zsWaitStart;
      if (m_DropRest) {
        // A bad CRC spoils the rest of the chunk.
        m_Framing.SetPreviousByte(static_cast<std::uint8_t>(Buffer[Count - 1]));
        break;
      }
      if (!SessionActive() && m_OverAndOut > 0) {
        // The sender's "OO" (over and out) after a received batch, and the line end of the last
        // header before it, are no text for the terminal.
        const bool lineEnd = b == '\r' || b == 0x8D || b == '\n' || b == 0x8A || b == XON || b == (XON | 0x80);
        if ((b == 'O' || lineEnd) && !m_OverAndOutDeadline.hasExpired()) {
          if (b == 'O') --m_OverAndOut;
          taken = true;
          continue;
        }
        m_OverAndOut = 0;
      }
      if (m_State == zsWaitStart) {
        // The start command is the session's own: a chunk that completes it is no terminal text.
        DoSessionBegin(b);
        taken = taken || SessionActive();
        continue;
      }
      if (SessionActive()) taken = true;
      if (ExpectsData(m_State)) {
        // No cancel byte can be among plain data, so the cancel detector starts over after it.
        if (const int run = m_Framing.FeedPlainData(bytes + i, Count - i); run > 0) {
          m_CancelDetector.Position = 0;
          i += run - 1;
          continue;
        }
      }
      if (m_CancelDetector.Feed(b)) {
        LogMessage(dlDetail, QStringLiteral("Is Abort!!!"));
        AbortSession(zeByRemote);
        continue;
      }
      m_Framing.Feed(b, ExpectsData(m_State));
    }
    if (taken) Flags.Include(pfConsumed);
  }
  TqxCustomDataProcessor::DataReceived(Buffer, Count, Flags);
}

void TqxZModem::HeaderReceived(const TZHeader& Header) {
  switch (RouteHeader(Header.Type, m_State)) {
    case TzRoute::None: break;
    case TzRoute::DoRInit: DoRInit(Header); break;
    case TzRoute::DoZSInit: DoZSInit(Header); break;
    case TzRoute::DoZSkip: DoZSkip(Header); break;
    case TzRoute::ResendLastHeader: m_Framing.ResendLastHeader(); break;
    case TzRoute::DoChallenge: DoChallenge(Header); break;
    case TzRoute::RemoteAbort:
      LogMessage(dlDetail, QStringLiteral("Is Abort!!!"));
      AbortSession(zeByRemote);
      break;
    case TzRoute::DoQInit: DoQInit(Header); break;
    case TzRoute::DoZFile: DoZFile(Header); break;
    case TzRoute::DoZData: DoZData(Header); break;
    case TzRoute::DoZFin: DoZFin(Header); break;
    case TzRoute::DoRPos: DoRPos(Header); break;
    case TzRoute::DoInterruptRPos: DoInterruptRPos(Header); break;
    case TzRoute::DoZAck: DoZAck(Header); break;
  }
}

void TqxZModem::HeaderInData(const TZHeader& Header) {
  if (m_State != zsReceiveData) return;
  if (Header.Type == ZEOF) {
    DoZEof(Header);
  } else if (Header.Type == ZDATA) {
    // A new frame of the same stream; one at another offset is asked to start again here.
    if (Header.Position() == m_FilePos)
      StartTimeout();
    else
      AnswerRPos(m_FilePos);
  } else if (Header.Type == ZCAN) {
    LogMessage(dlDetail, QStringLiteral("Is Abort!!!"));
    AbortSession(zeByRemote);
  }
}

void TqxZModem::BadCrc() {
  ++m_CrcErrors;
  LogMessage(dlDetail, QStringLiteral("Bad CRC!!!"));
  if (m_CrcErrors > m_ErrorLimit) {
    AbortSession(zeByBadCRC);
    return;
  }
  m_Framing.ResetData();
  if (OnCRCError) OnCRCError(this);
  m_DropRest = true;
  if (m_State == zsReceiveData)
    AnswerRPos(m_FilePos);
  else
    m_Framing.ResendLastHeader();
}

void TqxZModem::TxEmpty(bool&) { SendNextBlock(); }

void TqxZModem::WriteCompleted() {
  if (!m_Streaming) return;
  const std::uint32_t bound = TransmitBound();
  if (bound > 0 && IO()->OutputQueueCount() <= bound / 2) SendNextBlock();
}

// --- Time-outs and aborts ---

void TqxZModem::StartTimeout() {
  m_TimeoutTimer->SetEnabled(false);
  m_RetryCount = 0;
  m_TimeoutTimer->SetInterval(m_TimeOut);
  m_TimeoutTimer->SetOnTimer([this](QObject*) { TimeoutElapsed(); });
  m_TimeoutTimer->SetEnabled(true);
  LogFormat(dlDebug, QStringLiteral("Start Timer %u ms"), {m_TimeOut});
}

void TqxZModem::StopTimeout() { m_TimeoutTimer->SetEnabled(false); }

void TqxZModem::TimeoutElapsed() {
  // A stream that moved within the last period has not timed out.
  if (m_State == zsStreaming && std::exchange(m_StreamProgress, false)) {
    m_RetryCount = 0;
    return;
  }
  ++m_RetryCount;
  LogFormat(dlDetail, QStringLiteral("Timeout!!! %u ms"), {m_TimeoutTimer->Interval()});
  if (m_RetryCount > m_TimeOutRetries) {
    AbortSession(zeByTimeOut);
    return;
  }
  if (OnTimeOut) OnTimeOut(this);
  switch (m_State) {
    case zsWaitQInit:
      m_State = zsWaitStart;
      m_Role = zrIdle;
      StopTimeout();
      break;
    case zsWaitFile:
    case zsWaitFileInfo:
    case zsWaitAttention: AnswerRInit(false); break;
    case zsWaitData:
    case zsReceiveData: AnswerRPos(m_FilePos); break;
    case zsWaitFin:
      if (m_Role == zrReceiving)
        AnswerRInit(true);
      else
        AnswerFin();
      break;
    case zsWaitRInit: AnswerBeginSession(); break;
    case zsWaitRPos: AnswerZFile(); break;
    case zsWaitEofAnswer: AnswerEof(); break;  // counted: a receiver that went away ends the session
    case zsWaitSInitAck: AnswerZSInit(); break;
    case zsStreaming: break;  // nothing to repeat: the line took nothing; the count goes on
    case zsWaitAck:
      // The challenge goes out again with the same value, and so does a repositioned block whose
      // ZACK (or the ZRPOS that refused it) was lost: ending there would fail the session at the
      // first spoilt answer. The time-out keeps counting.
      if (m_Role == zrReceiving)
        m_Framing.ResendLastHeader();
      else
        SendFrom(m_FrameStart);
      break;
    default: AbortSession(zeByUnknown); break;
  }
}

void TqxZModem::AbortSession(TzAbortType Reason) {
  // Only a session can be aborted, once: a later reason (the remote side's echo of our cancel,
  // say) does not replace the first.
  if (!SessionActive()) return;
  m_Streaming = false;
  StopTimeout();
  CloseFile();
  // Queued file data would hold the cancel sequence back.
  if (m_Role == zrSending && TransmitBound() > 0) IO()->PurgeOutput();
  if (IO() != nullptr || OnDataSend) {
    AnswerAbort();
    if (OnAbort) OnAbort(this, Reason);
  } else {
    EndSession();
  }
}

void TqxZModem::AnswerAbort() {
  StopTimeout();
  LogMessage(dlDetail, QStringLiteral("Answer ABORT"));
  SendData(kCancelSequence, sizeof kCancelSequence - 1);
  EndSession();
}

void TqxZModem::EndSession() {
  m_State = zsWaitStart;
  m_Role = zrIdle;
  m_Streaming = false;
  m_WindowAckDue = false;
  // Blocks of a fill that the end cut short are not sent after it.
  m_TxBatch.resize(0);
  StopTimeout();
}

void TqxZModem::Abort() {
  LogMessage(dlSimple, QStringLiteral("Abort()"));
  AbortSession(zeByMe);
}

void TqxZModem::MediumClosed() {
  if (!SessionActive()) return;
  LogMessage(dlDetail, QStringLiteral("Medium was closed"));
  // Nothing can be sent on a closed line: the session just ends.
  CloseFile();
  EndSession();
  if (OnAbort) OnAbort(this, zeByMedia);
}

// --- Files ---

bool TqxZModem::FlushReceived() {
  if (m_WriteBehind.empty()) return true;
  DWORD written = 0;
  const bool ok = WriteFile(m_File, m_WriteBehind.data(), static_cast<DWORD>(m_WriteBehind.size()), &written, nullptr) &&
                  written == m_WriteBehind.size();
  m_WriteBehind.clear();
  return ok;
}

void TqxZModem::CloseFile() {
  if (m_File == INVALID_HANDLE_VALUE) return;
  // What was received stays on disk, also when the session ends in the middle (a failure here has
  // nobody left to tell).
  FlushReceived();
  CloseHandle(m_File);
  m_File = INVALID_HANDLE_VALUE;
  m_FilePos = 0;
  m_Size = 0;
  LogMessage(dlDetail, QStringLiteral("File closed"));
}

bool TqxZModem::OpenExistingFile(const QString& Name, bool ForWriting) {
  CloseFile();
  m_FileName = Name;
  m_File = ForWriting ? CreateFile(Name.toLocal8Bit().constData(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, 0)
                      : CreateFile(Name.toLocal8Bit().constData(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, 0);
  BY_HANDLE_FILE_INFORMATION info{};
  if (ForWriting && m_File != INVALID_HANDLE_VALUE &&
      (!GetFileInformationByHandle(m_File, &info) || info.dwFileAttributes != FILE_ATTRIBUTE_NORMAL ||
       info.nNumberOfLinks != 1)) {
    // Writing through another name would change a file elsewhere.
    CloseHandle(m_File);
    m_File = INVALID_HANDLE_VALUE;
  }
  m_FilePos = 0;
  if (m_File != INVALID_HANDLE_VALUE) {
    const DWORD size = GetFileSize(m_File, nullptr);
    m_Size = size == INVALID_FILE_SIZE ? 0 : size;
    SetFilePointer(m_File, 0, nullptr, FILE_BEGIN);
  }
  LogFormat(dlDetail, QStringLiteral("File opened [%s]"), {PrintableText(Name)});
  return m_File != INVALID_HANDLE_VALUE;
}

TqxZModem::TEntry TqxZModem::EntryAt(const QString& Name) {
  const QFileInfo info(Name);
  if (info.isSymLink()) return TEntry::Other;
  if (!info.exists()) return TEntry::None;
  return info.isFile() ? TEntry::RegularFile : TEntry::Other;
}

bool TqxZModem::SeekFile(std::uint32_t Position) {
  if (m_File == INVALID_HANDLE_VALUE) return false;
  LONG high = 0;
  const DWORD result = SetFilePointer(m_File, static_cast<LONG>(Position), &high, FILE_BEGIN);
  if (result == INVALID_SET_FILE_POINTER && Position != INVALID_SET_FILE_POINTER) return false;
  m_FilePos = Position;
  return true;
}

void TqxZModem::SetReceivedFileTime() {
  // On the handle still open: the name may stand for another file by now.
  if (m_File == INVALID_HANDLE_VALUE) return;
  const FILETIME time = DateTimeToFileTime(m_FileTime);
  SetFileTime(m_File, nullptr, nullptr, &time);
}
