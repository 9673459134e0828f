// TqxZModem: the receiving session.
#include "qx/qxzmodem.h"

#include "platform/winapi.h"
#include "qx/qxbaseio.h"
#include "qx/qxwin32.h"
#include "qx/qxzmodemfileinfo.h"

#include <QFileInfo>
#include <QProgressBar>

#include <algorithm>
#include <climits>

namespace {

// How often the naming rules are applied again when a name is taken between the check and the
// creation.
constexpr int kCreateAttempts = 8;
// Received data gather up to this many bytes before they are written.
constexpr std::size_t kWriteBehindSize = 64 * 1024;

}  // namespace

void TqxZModem::DoSessionBegin(std::uint8_t B) {
  m_Role = zrIdle;
  if (!m_StartDetector.Feed(B)) return;
  m_Framing.SetEscapeControls(false);
  LogMessage(dlDetail, QStringLiteral("Is Session Begin !!!"));
  m_State = zsWaitQInit;
  m_Role = zrReceiving;
  m_CrcErrors = 0;
  m_Framing.ResetParser();
  StartTimeout();
}

void TqxZModem::DoQInit(const TZHeader& Header) {
  if (Header.Type != ZRQINIT) return;
  if (m_Role == zrIdle) {
    m_Role = zrReceiving;
    m_CrcErrors = 0;
  }
  LogMessage(dlDetail, QStringLiteral("Is QINIT !!!"));
  if (Has(zoChallenge))
    AnswerChallenge();
  else
    AnswerRInit(false);
  StartTimeout();
}

bool TqxZModem::BeginReceive() {
  const bool canSend = OnDataSend || (IO() != nullptr && IO()->IsOpen());
  if (!Active() || !canSend || SessionActive()) return false;
  LogMessage(dlDetail, QStringLiteral("Begin receiving"));
  m_Framing.SetEscapeControls(false);
  m_Framing.ResetParser();
  m_Role = zrReceiving;
  m_CrcErrors = 0;
  if (Has(zoChallenge))
    AnswerChallenge();
  else
    AnswerRInit(false);
  StartTimeout();
  return true;
}

void TqxZModem::DoZSInit(const TZHeader& Header) {
  LogMessage(dlDetail, QStringLiteral("Is ZSINIT !!!"));
  m_Framing.SetEscapeControls((Header.ZF0() & TESCCTL) != 0);
  m_State = zsWaitAttention;
  StartTimeout();
}

void TqxZModem::DoAttention(const std::uint8_t*, int) {
  // The attention text is not used.
  m_Framing.ResetParser();
  AnswerZAck(0);
  m_State = zsWaitFile;
}

void TqxZModem::DoZFile(const TZHeader& Header) {
  switch (Header.Type) {
    case ZFILE:
      LogMessage(dlDetail, QStringLiteral("Is ZFile !!!"));
      m_FileName.clear();
      m_State = zsWaitFileInfo;
      m_ResumeRequested = Header.ZF0() == ZCRESUM;
      StartTimeout();
      break;
    case ZRQINIT:
      DoQInit(Header);
      break;
    case ZFIN:
      DoZFin(Header);
      break;
    case ZEOF:
      // The sender missed our ZRINIT after its end of file: it hears it again, and the batch goes on.
      LogMessage(dlDetail, QStringLiteral("Is ZEOF again"));
      AnswerRInit(m_State == zsWaitFin);
      break;
    default:
      break;  // no meaning while waiting for a file
  }
}

void TqxZModem::DoFileInfo(const std::uint8_t* Data, int Length) {
  m_FileName.clear();
  const TZFileInfo info = ParseFileInfo(Data, Length);
  const std::uint32_t size = info.Size;
  m_FileTime = info.ModTime ? UnixTimeToDateTime(*info.ModTime) : QDateTime::currentDateTimeUtc();
  m_AnnouncedSize = size;
  bool flSkip = false;

  m_DefaultPath = m_DefaultPath.trimmed();
  if (!m_DefaultPath.isEmpty() && !m_DefaultPath.endsWith(u'/')) m_DefaultPath += u'/';
  if (info.Name.isEmpty()) {
    LogFormat(dlSimple, QStringLiteral("Refused file name [%s]"), {PrintableText(info.WireName)});
    m_Size = 0;
    AnswerSkip();
    m_State = zsWaitFile;
    return;
  }
  QString name = m_DefaultPath + info.Name;
  m_Size = size;
  LogFormat(dlSimple, QStringLiteral("Do file name=[%s] Sz=%d"), {PrintableText(name), size});
  if (OnBeforeReceived) OnBeforeReceived(this, name, flSkip);
  if (flSkip) {
    m_FileName.clear();
    m_Size = 0;
    AnswerSkip();
    m_State = zsWaitFile;
    return;
  }
  QString reason;
  switch (CreateReceiveFile(name, reason)) {
    case TReceiveOpen::Opened: break;
    case TReceiveOpen::InTheWay:
      RefuseReceive(name, reason, 1,
                    Format(QStringLiteral("The receiving file \"%s\" already exists!!!"), {PrintableText(name)}));
      return;
    case TReceiveOpen::Refused:
      RefuseReceive(name, reason, 3,
                    Format(QStringLiteral("Error create receiving file \"%s\" !!!"), {PrintableText(name)}));
      return;
    case TReceiveOpen::Failed:
      m_FileName.clear();
      FailReceive(3, Format(QStringLiteral("Error create receiving file \"%s\" !!!"), {PrintableText(name)}));
      return;
  }
  if (m_ProgressBar) {
    m_ProgressBar->setMinimum(0);
    m_ProgressBar->setMaximum(static_cast<int>(std::min<std::uint32_t>(size, INT_MAX)));
    m_ProgressBar->setValue(0);
  }
  AnswerRPos(m_Size);
}

void TqxZModem::RefuseReceive(const QString& Name, const QString& Reason, std::uint32_t Detail, const QString& Message) {
  // The sender hears the skip before the error is raised, and goes on with its next file.
  m_FileName.clear();
  m_Size = 0;
  LogFormat(dlSimple, QStringLiteral("Skipped [%s]: %s"), {PrintableText(Name), Reason});
  AnswerSkip();
  m_State = zsWaitFile;
  StartTimeout();
  FatalError(3, Detail, Message);
}

void TqxZModem::FailReceive(std::uint32_t Detail, const QString& Message) {
  // The session ends before the error is raised, so that the sender is not left waiting.
  AbortSession(zeByMe);
  FatalError(3, Detail, Message);
}

TqxZModem::TReceiveOpen TqxZModem::CreateReceiveFile(QString Name, QString& Reason) {
  CloseFile();
  const TEntry entry = EntryAt(Name);
  if (entry == TEntry::RegularFile && Has(zoResuming) && m_ResumeRequested && OpenExistingFile(Name)) {
    if (m_Size < m_AnnouncedSize && SeekFile(m_Size)) {
      LogFormat(dlDetail, QStringLiteral("File created [%s]"), {PrintableText(Name)});
      return TReceiveOpen::Opened;
    }
    CloseFile();
  }
  if (entry != TEntry::None && !Has(zoCreateWithNewName)) {
    // Only a regular file of its own is overwritten; anything else stays as it is.
    if (entry == TEntry::Other) {
      Reason = QStringLiteral("something that is not a regular file has its name");
      return TReceiveOpen::InTheWay;
    }
    if (!Has(zoOverwrite)) {
      Reason = QStringLiteral("it already exists");
      return TReceiveOpen::InTheWay;
    }
    if (!OpenExistingFile(Name) || !SetEndOfFile(m_File)) {
      CloseFile();
      Reason = QStringLiteral("the file of that name has other names too, or cannot be written");
      return TReceiveOpen::InTheWay;
    }
    m_FilePos = 0;
    m_Size = 0;
    LogFormat(dlDetail, QStringLiteral("File created [%s]"), {PrintableText(Name)});
    return TReceiveOpen::Opened;
  }
  // A new file, under the name or the first free numbered one: created, never opened, so no link
  // standing there is followed.
  const QString extension = QFileInfo(Name).suffix();
  const QString suffix = extension.isEmpty() ? QString() : u'.' + extension;
  const QString base = Name.left(Name.size() - suffix.size());
  int n = 0;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    if (Has(zoCreateWithNewName))
      while (EntryAt(Name) != TEntry::None) Name = Format(QStringLiteral("%s%d%s"), {base, n++, suffix});
    m_FileName = Name;
    m_File = CreateFile(Name.toLocal8Bit().constData(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                        FILE_FLAG_OPEN_REPARSE_POINT, 0);
    m_FilePos = 0;
    m_Size = 0;
    if (m_File != INVALID_HANDLE_VALUE) {
      LogFormat(dlDetail, QStringLiteral("File created [%s]"), {PrintableText(Name)});
      return TReceiveOpen::Opened;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILENAME_EXCED_RANGE) {
      Reason = QStringLiteral("the name is too long for the file system");
      return TReceiveOpen::Refused;
    }
    // Taken between the look and the creation: the naming rules again, or refused without them.
    if (error != ERROR_FILE_EXISTS) break;
    if (!Has(zoCreateWithNewName)) {
      Reason = QStringLiteral("it already exists");
      return TReceiveOpen::InTheWay;
    }
  }
  LogFormat(dlDetail, QStringLiteral("File not created [%s]: %s"), {PrintableText(Name), SystemErrorText()});
  return TReceiveOpen::Failed;
}

void TqxZModem::DoZData(const TZHeader& Header) {
  // The data asked for again may all be there already: the sender answers with the end of file.
  if (Header.Type == ZEOF) {
    DoZEof(Header);
    return;
  }
  if (Header.Type != ZDATA) return;
  LogMessage(dlDetail, QStringLiteral("Is ZDATA !!!"));
  if (Header.Position() != m_FilePos) {
    // Not where the file stands: asked again, as in the middle of the data.
    LogFormat(dlDetail, QStringLiteral("ZDATA at %u, file position %u"), {Header.Position(), m_FilePos});
    AnswerRPos(m_FilePos);
    return;
  }
  m_State = zsReceiveData;
  StartTimeout();
}

void TqxZModem::BlockReceived(const std::uint8_t* Data, int Length, std::uint8_t FrameEnd) {
  if (m_State == zsWaitFileInfo) {
    DoFileInfo(Data, Length);
    return;
  }
  if (m_State == zsWaitAttention) {
    DoAttention(Data, Length);
    return;
  }
  // Written in large pieces; an acknowledgement promises that everything before it is on disk.
  m_WriteBehind.insert(m_WriteBehind.end(), Data, Data + Length);
  if ((m_WriteBehind.size() >= kWriteBehindSize || FrameEnd == ZCRCW || FrameEnd == ZCRCQ) && !FlushReceived()) {
    FailReceive(6, Format(QStringLiteral("Error write receiving file \"%s\" !!!"), {m_FileName}));
    return;
  }
  m_FilePos += static_cast<std::uint32_t>(Length);
  // CRC errors count against ErrorLimit only until the file moves on again.
  if (Length > 0) m_CrcErrors = 0;
  LogFormat(dlDebug, QStringLiteral("DoReceivedBinBlock Type=%.2X"), {FrameEnd});
  m_Framing.ResetParser();
  // ZCRCQ asks for an acknowledgement as ZCRCW does, but the data go on.
  if (FrameEnd == ZCRCW || FrameEnd == ZCRCQ) {
    AnswerZAck(m_FilePos);
    m_State = zsReceiveData;
  }
  if (m_ProgressBar) m_ProgressBar->setValue(static_cast<int>(std::min<std::uint32_t>(m_FilePos, INT_MAX)));
  m_Framing.ResetData();
  StartTimeout();
  if (OnProgress) OnProgress(this);
}

void TqxZModem::DoZEof(const TZHeader& Header) {
  // A ZEOF behind the data received so far announces more data; the time-out asks for them.
  if (Header.Position() != m_FilePos) {
    LogFormat(dlDetail, QStringLiteral("ZEOF at %u ignored, file position %u"), {Header.Position(), m_FilePos});
    return;
  }
  if (!FlushReceived()) {
    FailReceive(6, Format(QStringLiteral("Error write receiving file \"%s\" !!!"), {m_FileName}));
    return;
  }
  if (!Has(zoIgnoreFileTime)) SetReceivedFileTime();
  CloseFile();
  AnswerRInit(true);
}

void TqxZModem::DoZFin(const TZHeader& Header) {
  // Receiving, only ZFIN ends the session; a sender takes a ZEOF for it too.
  if (m_Role == zrReceiving && Header.Type != ZFIN) {
    DoZFile(Header);
    return;
  }
  if (Header.Type != ZFIN && Header.Type != ZEOF) return;
  LogMessage(dlDetail, QStringLiteral("Is ZFIN !!!"));
  CloseFile();
  if (m_Role == zrReceiving) {
    AnswerFin();
    m_OverAndOut = 2;
    m_OverAndOutDeadline.setRemainingTime(kOverAndOutMs);
  } else {
    SendString(QByteArrayLiteral("OO"));
  }
  EndSession();
}

void TqxZModem::AnswerRInit(bool AfterEof) {
  LogMessage(dlDetail, QStringLiteral("Answer RINIT"));
  // CRC-32 asked for: with CRC-16 a lost ZDLE before a frame end can join two subpackets into one
  // that passes its check.
  SendFlagsHeader(ZRINIT, CANFDX | CANOVIO | CANFC32);
  m_ChallengeValue = 0;
  m_State = AfterEof ? zsWaitFin : zsWaitFile;
}

void TqxZModem::AnswerChallenge() {
  m_ChallengeValue = static_cast<std::uint32_t>(reinterpret_cast<quintptr>(this)) ^
                     static_cast<std::uint32_t>(QDateTime::currentMSecsSinceEpoch());
  if (m_ChallengeValue == 0) m_ChallengeValue = 1;
  LogFormat(dlDetail, QStringLiteral("qxZM: Answer CHALLENGE (%u)"), {m_ChallengeValue});
  SendHeader(ZCHALLENGE, m_ChallengeValue);
  m_State = zsWaitAck;
}

void TqxZModem::AnswerRPos(std::uint32_t Position) {
  LogFormat(dlDetail, QStringLiteral("Answer RPOS [%d]"), {Position});
  SendHeader(ZRPOS, Position);
  m_State = zsWaitData;
}

void TqxZModem::AnswerZAck(std::uint32_t Position) {
  LogFormat(dlDetail, QStringLiteral("Answer ZACK [%d]"), {Position});
  SendHeader(ZACK, Position);
  m_State = zsWaitData;
}

void TqxZModem::AnswerSkip() {
  LogMessage(dlDetail, QStringLiteral("qxZM: Answer SKIP"));
  SendHeader(ZSKIP, 0);
}

void TqxZModem::AnswerFin() {
  LogMessage(dlDetail, QStringLiteral("Answer FIN"));
  SendHeader(ZFIN, 0);
  if (m_Role == zrReceiving && OnAfterFileReceived) OnAfterFileReceived(this, m_FileName);
  if (OnSuccessfulEnd) OnSuccessfulEnd(this);
}

void TqxZModem::DoZAck(const TZHeader& Header) {
  // A repositioning request instead of the acknowledgement: the block was lost on the way.
  if (Header.Type == ZRPOS && m_Role == zrSending && m_State == zsWaitAck) {
    DoInterruptRPos(Header);
    return;
  }
  if (Header.Type != ZACK) return;
  LogFormat(dlDetail, QStringLiteral("Is ZACK (%u)"), {Header.Position()});
  if (m_State == zsWaitSInitAck) {
    AnswerZFile();
  } else if (m_Role == zrReceiving) {
    if (Has(zoChallenge) && m_ChallengeValue != 0) {
      if (Header.Position() == m_ChallengeValue) {
        AnswerRInit(false);
      } else {
        LogFormat(dlDetail, QStringLiteral("Wrong answer to the challenge (%u)"), {Header.Position()});
        AbortSession(zeByUnknown);
      }
    }
  } else if (m_Role == zrSending) {
    SeekFile(Header.Position());
    m_State = zsStreaming;
    StartTimeout();  // a stream that stops moving times out
    AnswerZData(true);
  }
}
