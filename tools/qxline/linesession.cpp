#include "linesession.h"

#include "platform/messagetable.h"
#include "platform/winapi.h"

#include <cstring>
#include <vector>

LineSession::~LineSession() {
  if (m_Line) lineClose(m_Line);
  if (m_App) lineShutdown(m_App);
}

QString LineSession::ErrorText(LONG code) {
  // The texts of the telephony user-interface library, as the application shows them.
  static HMODULE ui = LoadLibraryA("tapiui.dll");
  char text[1024] = {};
  const DWORD id = DWORD(code) - 0x80000000u + 0xE000u;
  const DWORD length = ui ? FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, ui, id, 0, text, sizeof text, nullptr) : 0;
  const QString hex = QStringLiteral("%1").arg(DWORD(code), 8, 16, QLatin1Char('0'));
  return length ? QStringLiteral("%1 (%2)").arg(QString::fromLatin1(text, int(length)), hex)
                : QStringLiteral("error %1").arg(hex);
}

bool LineSession::Start(QString& error) {
  LONG r = lineInitialize(&m_App, nullptr, &LineSession::Callback, "qxline", &m_DeviceCount);
  if (r != 0) {
    m_App = 0;
    error = QStringLiteral("the telephony library did not start: %1").arg(ErrorText(r));
    return false;
  }
  LINEEXTENSIONID extension{};
  if (m_DeviceCount > 0 &&
      (r = lineNegotiateAPIVersion(m_App, 0, TAPI_VERSION1_4, TAPI_VERSION3_0, &m_Version, &extension)) != 0) {
    error = QStringLiteral("no common interface version: %1").arg(ErrorText(r));
    return false;
  }
  return true;
}

bool LineSession::Open(DWORD device, DWORD privileges, QString& error) {
  if (device >= m_DeviceCount) {
    error = QStringLiteral("there is no line device %1 (%2 devices; see qxline list)").arg(device).arg(m_DeviceCount);
    return false;
  }
  const LONG r = lineOpen(m_App, device, &m_Line, m_Version, 0, reinterpret_cast<DWORD_PTR>(this), privileges,
                          LINEMEDIAMODE_DATAMODEM, nullptr);
  if (r != 0) {
    m_Line = 0;
    error = QStringLiteral("line device %1 did not open: %2").arg(device).arg(ErrorText(r));
    return false;
  }
  return true;
}

HANDLE LineSession::CommHandle() {
  std::vector<char> buffer(512);
  auto* id = reinterpret_cast<VARSTRING*>(buffer.data());
  id->dwTotalSize = DWORD(buffer.size());
  if (lineGetID(m_Line, 0, 0, LINECALLSELECT_LINE, id, "comm/datamodem") != 0 || id->dwStringSize < sizeof(HANDLE))
    return INVALID_HANDLE_VALUE;
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::memcpy(&handle, buffer.data() + id->dwStringOffset, sizeof handle);
  return handle;
}

namespace {

// A text field of a LINECALLINFO answer, without its terminating zero.
QString InfoText(const std::vector<char>& buffer, DWORD size, DWORD offset) {
  if (size == 0 || offset + size > buffer.size()) return {};
  QString text = QString::fromLatin1(buffer.data() + offset, int(size));
  while (text.endsWith(QChar(u'\0'))) text.chop(1);
  return text;
}

std::vector<char> CallInfo(HCALL call) {
  std::vector<char> buffer(2048);
  auto* info = reinterpret_cast<LINECALLINFO*>(buffer.data());
  info->dwTotalSize = DWORD(buffer.size());
  if (lineGetCallInfo(call, info) != 0) buffer.clear();
  return buffer;
}

}  // namespace

QString LineSession::CallerOf(HCALL call) {
  const std::vector<char> buffer = CallInfo(call);
  if (buffer.empty()) return QStringLiteral("?");
  const auto* info = reinterpret_cast<const LINECALLINFO*>(buffer.data());
  const QString number = InfoText(buffer, info->dwCallerIDSize, info->dwCallerIDOffset);
  const QString name = InfoText(buffer, info->dwCallerIDNameSize, info->dwCallerIDNameOffset);
  return name.isEmpty() ? number : QStringLiteral("%1 (%2)").arg(number, name);
}

DWORD LineSession::RateOf(HCALL call) {
  const std::vector<char> buffer = CallInfo(call);
  return buffer.empty() ? 0 : reinterpret_cast<const LINECALLINFO*>(buffer.data())->dwRate;
}

DWORD LineSession::CallIdOf(HCALL call) {
  const std::vector<char> buffer = CallInfo(call);
  return buffer.empty() ? 0 : reinterpret_cast<const LINECALLINFO*>(buffer.data())->dwCallID;
}

void LineSession::Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR) {
  auto* session = reinterpret_cast<LineSession*>(instance);
  if (!session) return;
  if (message == LINE_CALLSTATE && session->OnCallState) session->OnCallState(device, DWORD(p1), DWORD(p2));
  if (message == LINE_REPLY && session->OnReply) session->OnReply(DWORD(p1), LONG(DWORD(p2)));
}
