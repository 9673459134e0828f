// TqxZModem: the file queue and the sending session.
#include "qx/qxzmodem.h"

#include "platform/winapi.h"
#include "qx/qxbaseio.h"
#include "qx/qxsysutils.h"

#include <QProgressBar>
#include <QRegularExpression>
#include <QScopeGuard>

#include <algorithm>
#include <climits>

void TqxZModem::SendFile(const QString& FileNames) {
  LogFormat(dlSimple, QStringLiteral("SendFile %s"), {FileNames});
  if (OnBeforeFileSend) OnBeforeFileSend(this, FileNames, false);
  if (!Active()) {
    FatalError(3, 4, QStringLiteral("The TqxZmodem service is not active."));
    return;
  }
  if (IO() == nullptr && !OnDataSend) {
    FatalError(3, 9, QStringLiteral("The TqxZmodem has not a communication device."));
    return;
  }
  if (Has(zoCheckConnection) && IO() != nullptr && !IO()->IsOpen()) {
    FatalError(3, 10, QStringLiteral("The communication device of TqxZModem is not open."));
    return;
  }
  if (m_Role == zrReceiving) {
    FatalError(3, 5, QStringLiteral("TqxZModem is receiving file now.\rAbort current session before."));
    return;
  }
  m_StreamFrameEnd = Has(zoSegmentTransfer) ? ZCRCW : ZCRCG;
  m_RxBufferSize = 0;
  m_RxFullDuplex = true;
  QString list = FileNames;
  list.replace(u',', QStringLiteral("\r\n")).replace(u';', QStringLiteral("\r\n"));

  CloseFile();
  m_TotalBytes = 0;
  m_StartedBytes = 0;
  m_FrontCounted = false;
  m_FileQueue.clear();
  for (const QString& entry : list.split(QRegularExpression(QStringLiteral("\r\n|\n|\r")), Qt::SkipEmptyParts)) {
    const QString dir = entry.left(entry.lastIndexOf(u'/') + 1);
    WIN32_FIND_DATA found{};
    const HANDLE find = FindFirstFile(entry.toLocal8Bit().constData(), &found);
    if (find == INVALID_HANDLE_VALUE) continue;
    do {
      // Only regular files can be sent; positions on the wire count 32 bits.
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || found.nFileSizeHigh != 0) continue;
      m_FileQueue.push_back({dir + QString::fromLocal8Bit(found.cFileName), found.nFileSizeLow});
      m_TotalBytes += found.nFileSizeLow;
    } while (FindNextFile(find, &found));
    FindClose(find);
  }
  if (m_FileQueue.empty()) {
    FatalError(3, 5, QStringLiteral("There are NO files for transmission!!!"));
    return;
  }
  m_Role = zrSending;
  m_CrcErrors = 0;
  AnswerBeginSession();
  StartTimeout();
  if (m_ProgressBar) {
    m_ProgressBar->setMinimum(0);
    m_ProgressBar->setMaximum(static_cast<int>(std::min<std::uint32_t>(m_TotalBytes, INT_MAX)));
    m_ProgressBar->setValue(0);
  }
}

void TqxZModem::AnswerBeginSession() {
  m_Streaming = false;
  LogMessage(dlDetail, QStringLiteral("Answer Begin session ..."));
  if (!Has(zoWithoutRZ)) SendString(QByteArrayLiteral("rz\r"));
  SendHeader(ZRQINIT, 0);
  m_Framing.SetEscapeControls(Has(zoEscCtrls));
  m_Framing.SetCrc32Sent(false);
  m_State = zsWaitRInit;
}

void TqxZModem::DoChallenge(const TZHeader& Header) {
  LogFormat(dlDetail, QStringLiteral("Is CHALLENGE (%u)"), {Header.Position()});
  AnswerZAck(Header.Position());
  m_State = zsWaitRInit;
}

void TqxZModem::DoRInit(const TZHeader& Header) {
  LogMessage(dlDetail, QStringLiteral("Is RINIT or Challenge !!!"));
  LogMessage(dlDetail, QStringLiteral("Is RINIT !!!"));
  // A receiver that cannot take raw control characters gets them escaped. Its buffer size and
  // whether it can talk while it receives decide how the stream is paced (WindowLength).
  if ((Header.ZF0() & ESCCTL) != 0) m_Framing.SetEscapeControls(true);
  m_Framing.SetCrc32Sent((Header.ZF0() & CANFC32) != 0);
  m_RxBufferSize = Header.P[0] | (std::uint32_t{Header.P[1]} << 8);
  m_RxFullDuplex = (Header.ZF0() & CANFDX) != 0;
  if (m_State == zsWaitEofAnswer) {
    CloseFile();
    if (OnAfterFileSent) OnAfterFileSent(this, m_FileName, true);
  }
  if (m_State == zsWaitRInit || !m_FileQueue.empty()) {
    if (m_Framing.EscapeControls())
      AnswerZSInit();
    else
      AnswerZFile();
  } else {
    AnswerFin();
    m_Streaming = false;
    CloseFile();
    if (Has(zoNotWaitFinal)) {
      SendString(QByteArrayLiteral("OO"));
      EndSession();
      return;
    }
    m_State = zsWaitFin;
  }
  if (SessionActive()) StartTimeout();
}

void TqxZModem::AnswerZSInit() {
  LogMessage(dlDetail, QStringLiteral("Answer ZSINIT"));
  // Sent because this side escapes every control character: the receiver is told so (TESCCTL).
  SendFlagsHeader(ZSINIT, m_Framing.EscapeControls() ? TESCCTL : 0);
  m_TxData.fill(0);
  m_Framing.SendDataBlock(m_TxData.data(), 32, ZCRCW, false);
  m_State = zsWaitSInitAck;
}

void TqxZModem::AnswerZFile() {
  m_Streaming = false;
  for (;;) {
    if (m_FileQueue.empty()) {
      AnswerFin();
      m_State = zsWaitFin;
      return;
    }
    const TQueuedFile front = m_FileQueue.front();
    m_FileName = front.Path;
    m_Size = front.Size;
    if (OpenExistingFile(m_FileName, false)) break;
    m_FileQueue.erase(m_FileQueue.begin());
    m_FrontCounted = false;
    m_FileName.clear();
    FatalError(3, 2, Format(QStringLiteral("Error open file \"%s\" !!!"), {front.Path}));
  }
  // Each file counts once towards the bytes started, however often it is offered.
  if (!m_FrontCounted) {
    m_StartedBytes += m_Size;
    m_FrontCounted = true;
  }
  m_Framing.TxHeader().SetFlags(ZFILE, Has(zoResuming) ? ZCRESUM : ZCBIN);
  m_Framing.SendBinHeader();

  WIN32_FIND_DATA found{};
  const HANDLE find = FindFirstFile(m_FileName.toLocal8Bit().constData(), &found);
  if (find == INVALID_HANDLE_VALUE) {
    LogFormat(dlDetail, QStringLiteral("Find ERROR File [%s] not found"), {PrintableText(m_FileName)});
    AbortSession(zeByMe);
    return;
  }
  FindClose(find);
  QString modTime = IntToOctal(static_cast<std::uint32_t>(DateTimeToUnixTime(FileTimeToDateTime(found.ftLastWriteTime))));
  if (modTime.isEmpty()) modTime = QStringLiteral("0");
  // The name keeps its case: on a file system that tells cases apart a lowered name is another file.
  const QString bareName = m_FileName.mid(m_FileName.lastIndexOf(u'/') + 1);
  QByteArray info = bareName.toLocal8Bit();
  info.append('\0');
  info.append(QStringLiteral("%1 %2 0 0 %3 %4")
                  .arg(found.nFileSizeLow)
                  .arg(modTime)
                  .arg(m_FileQueue.size())
                  .arg(m_TotalBytes - m_StartedBytes + m_Size)
                  .toLatin1());
  info.append('\0');
  info.truncate(kMaxTxBlock);
  LogFormat(dlDetail, QStringLiteral("Answer ZFile [%s]"), {PrintableText(QString::fromLocal8Bit(info))});
  std::copy(info.cbegin(), info.cend(), m_TxData.begin());
  m_Framing.SendDataBlock(m_TxData.data(), static_cast<int>(info.size()), ZCRCW, false);
  m_State = zsWaitRPos;
}

void TqxZModem::AnswerZData(bool StartStream) {
  LogFormat(dlDetail, QStringLiteral("Answer ZData [Pos=%d]"), {m_FilePos});
  SendHeader(ZDATA, m_FilePos, true);
  m_FrameStart = m_FilePos;
  m_WindowAckDue = false;
  if (StartStream) {
    m_Streaming = true;
    SendNextBlock();
  }
}

void TqxZModem::AnswerEof() {
  LogMessage(dlDetail, QStringLiteral("Answer EOF"));
  SendHeader(ZEOF, m_FilePos, true);
  StartTimeout();
  m_State = zsWaitEofAnswer;
}

void TqxZModem::ShowSendProgress() {
  if (m_ProgressBar)
    m_ProgressBar->setValue(static_cast<int>(std::min<std::uint32_t>(m_StartedBytes - m_Size + m_FilePos, INT_MAX)));
}

std::uint32_t TqxZModem::TransmitBound() {
  // Behind OnDataSend the processor's timer stands in for the transmit-empty event: one block a tick.
  if (OnDataSend || IO() == nullptr) return 0;
  return IO()->OutputQueueSize();
}

std::uint32_t TqxZModem::WindowLength() {
  // A receiver with a buffer never gets more than it holds before it has answered (ZCRCW, ZACK).
  if (m_RxBufferSize > 0) return m_RxBufferSize;
  // One that cannot talk while it receives gets its turn after each queue's worth.
  if (!m_RxFullDuplex) return std::max<std::uint32_t>(TransmitBound(), kMaxTxBlock);
  return 0;
}

std::uint32_t TqxZModem::BlockLimit() const {
  return m_RxBufferSize > 0 ? std::min<std::uint32_t>(m_RxBufferSize, kMaxTxBlock) : kMaxTxBlock;
}

void TqxZModem::FlushBatch() {
  if (m_TxBatch.isEmpty()) return;
  SendData(m_TxBatch.constData(), static_cast<std::uint32_t>(m_TxBatch.size()));
  m_TxBatch.resize(0);
}

void TqxZModem::SendNextBlock() {
  if (!m_Streaming) return;
  const std::uint32_t bound = TransmitBound();
  const std::uint32_t window = WindowLength();
  const std::uint32_t queued = bound > 0 ? IO()->OutputQueueCount() : 0;
  // The end of file waits for a queue that has run empty: ZEOF is a waiting write. A transmit-empty
  // event may be older than the blocks queued since; the queue's own one follows.
  if (m_FilePos >= m_Size && queued > 0) return;
  // The blocks of one fill go out in one write, however the fill ends.
  m_Batching = bound > 0;
  const auto flush = qScopeGuard([this] {
    m_Batching = false;
    FlushBatch();
  });
  // The last data block (ZCRCE) waits for the queue to run empty before the end of file follows,
  // so that ZEOF, a waiting write, never waits behind a full queue. Writes of half the bound each:
  // the completion of one, with the other still going out, brings the next fill (WriteCompleted).
  std::uint32_t written = 0;
  while (SendOneBlock(window) == ZCRCG && m_Streaming && queued + written + m_TxBatch.size() < bound) {
    if (m_TxBatch.size() >= bound / 2) {
      written += static_cast<std::uint32_t>(m_TxBatch.size());
      FlushBatch();
    }
  }
}

std::uint8_t TqxZModem::SendOneBlock(std::uint32_t Window) {
  DWORD count = 0;
  if (m_FilePos < m_Size) {
    std::uint32_t wanted = std::min<std::uint32_t>(m_Size - m_FilePos, BlockLimit());
    if (Window > 0) wanted = std::min(wanted, std::max<std::uint32_t>(m_FrameStart + Window - m_FilePos, 1));
    if (!ReadFile(m_File, m_TxData.data(), wanted, &count, nullptr)) {
      AbortSession(zeByMe);
      FatalError(3, 7, Format(QStringLiteral("Error read file \"%s\" !!!"), {m_FileName}));
      return ZCRCE;
    }
    m_FilePos += count;
  }
  const bool windowFull = Window > 0 && m_FilePos - m_FrameStart >= Window;
  const std::uint8_t frameEnd = m_FilePos >= m_Size ? ZCRCE : windowFull ? ZCRCW : m_StreamFrameEnd;
  LogFormat(dlDebug, QStringLiteral("send %u"), {m_FilePos});
  ShowSendProgress();
  m_Streaming = false;
  m_StreamProgress = true;
  if (count > 0) {
    // A frame that ends with ZCRCW waits for its ZACK (segment mode, a window); the last one is
    // followed by the end of file without one.
    if (frameEnd == ZCRCW) {
      m_WindowAckDue = true;
      StartTimeout();
    } else {
      m_Streaming = true;
    }
    m_Framing.SendDataBlock(m_TxData.data(), static_cast<int>(count), frameEnd, true);
  } else {
    m_Framing.SendDataBlock(m_TxData.data(), 0, frameEnd, false);
  }
  if (OnProgress) OnProgress(this);
  if (count == 0) AnswerEof();
  return frameEnd;
}

void TqxZModem::DoRPos(const TZHeader& Header) {
  if (Header.Type != ZRPOS) return;
  LogMessage(dlDetail, QStringLiteral("Is RPOS !!!"));
  if (!SeekFile(Header.Position())) {
    AbortSession(zeByMe);
    FatalError(0, 0, QStringLiteral("Can't to set a new file position =") + QString::number(Header.Position()));
    return;
  }
  if (!m_FileQueue.empty()) m_FileQueue.erase(m_FileQueue.begin());
  m_FrontCounted = false;
  // The state is set first: a file that is already at its end sends ZEOF at once. A stream that
  // stops moving times out.
  m_State = zsStreaming;
  StartTimeout();
  AnswerZData(true);
}

void TqxZModem::DoZSkip(const TZHeader&) {
  // Only the file on offer can be skipped.
  if (m_Role != zrSending || m_State != zsWaitRPos || m_FileQueue.empty()) return;
  m_Framing.ResetParser();
  CloseFile();
  if (OnAfterFileSent) OnAfterFileSent(this, m_FileName, false);
  m_FileQueue.erase(m_FileQueue.begin());
  m_FrontCounted = false;
  if (!m_FileQueue.empty()) {
    AnswerZFile();
  } else {
    AnswerFin();
    m_State = zsWaitFin;
  }
}

void TqxZModem::DoInterruptRPos(const TZHeader& Header) {
  if (Header.Type == ZRPOS) {
    LogFormat(dlDetail, QStringLiteral("Interrupt RPOS [%u] !!!"), {Header.Position()});
    m_Streaming = false;
    m_WindowAckDue = false;
    // What is still queued lies beyond the asked position: it goes, and the answer follows at once.
    if (TransmitBound() > 0) IO()->PurgeOutput();
    if (!SeekFile(Header.Position())) {
      AbortSession(zeByMe);
      FatalError(0, 0, QStringLiteral("Can't to set a new file position."));
      return;
    }
    if (m_FilePos < m_Size) {
      AnswerZData(false);
      m_State = zsWaitAck;
      const DWORD wanted = std::min<std::uint32_t>(m_Size - m_FilePos, BlockLimit());
      DWORD count = 0;
      if (!ReadFile(m_File, m_TxData.data(), wanted, &count, nullptr)) count = 0;
      m_FilePos += count;
      m_Framing.SendDataBlock(m_TxData.data(), static_cast<int>(count), ZCRCW, true);
      StartTimeout();
    } else {
      AnswerEof();
    }
  } else if (Header.Type == ZACK && m_WindowAckDue && m_State == zsStreaming) {
    // ZCRCW ended the frame: the next block opens a new one.
    LogMessage(dlDebug, QStringLiteral("Response ZACK"));
    AnswerZData(true);
  }
}
