#include "callrunner.h"

#include "platform/winapi.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void Say(const QString& text) { std::fprintf(stderr, "qxline: %s\n", text.toLocal8Bit().constData()); }

QString DisconnectReason(DWORD mode) {
  switch (mode) {
    case LINEDISCONNECTMODE_BUSY: return QStringLiteral("BUSY");
    case LINEDISCONNECTMODE_NOANSWER: return QStringLiteral("NO ANSWER");
    case LINEDISCONNECTMODE_BADADDRESS: return QStringLiteral("BAD ADDRESS");
    case LINEDISCONNECTMODE_REJECT: return QStringLiteral("the call was refused");
    case LINEDISCONNECTMODE_NORMAL: return QStringLiteral("hung up by the far end");
    default: return QStringLiteral("the connection was lost");
  }
}

// Runs on the main thread, from any thread.
void OnMain(std::function<void()> action) { QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(action)); }

}  // namespace

CallRunner::CallRunner(LineSession& session, const LineOptions& options) : m_Session(session), m_Options(options) {
  m_Session.OnCallState = [this](HCALL call, DWORD state, DWORD mode) { OnCallState(call, state, mode); };
}

CallRunner::~CallRunner() {
  m_Join.reset();
  if (m_Command > 0) {
    ::kill(m_Command, SIGTERM);
    ::waitpid(m_Command, nullptr, 0);
  }
}

int CallRunner::Dial(DWORD device) {
  QString error;
  if (!m_Session.Open(device, LINECALLPRIVILEGE_NONE, error)) {
    Say(error);
    return 1;
  }
  LINECALLPARAMS params{};
  params.dwTotalSize = sizeof params;
  params.dwBearerMode = LINEBEARERMODE_VOICE;
  params.dwMediaMode = LINEMEDIAMODE_DATAMODEM;
  params.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
  params.dwAddressMode = LINEADDRESSMODE_DIALABLEADDR;
  const QByteArray number = m_Options.number.toLocal8Bit();
  const LONG r = lineMakeCall(m_Session.Line(), &m_Call, number.constData(), 0, &params);
  if (r < 0) {
    Say(QStringLiteral("cannot call %1: %2").arg(m_Options.number, LineSession::ErrorText(r)));
    return 1;
  }
  Say(QStringLiteral("calling %1").arg(m_Options.number));
  return QCoreApplication::exec();
}

int CallRunner::Answer(DWORD device) {
  m_Answering = true;
  QString error;
  if (!m_Session.Open(device, LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR, error)) {
    Say(error);
    return 1;
  }
  Say(QStringLiteral("waiting for calls on line device %1").arg(device));
  return QCoreApplication::exec();
}

void CallRunner::OnCallState(HCALL call, DWORD state, DWORD mode) {
  if (state == LINECALLSTATE_OFFERING) {
    Offered(call);
    return;
  }
  if (call != m_Call) return;
  switch (state) {
    case LINECALLSTATE_RINGBACK: Say(QStringLiteral("ringing")); break;
    case LINECALLSTATE_CONNECTED: Connected(call); break;
    case LINECALLSTATE_DISCONNECTED: Disconnected(mode); break;
    case LINECALLSTATE_IDLE: CallOver(); break;
    default: break;
  }
}

void CallRunner::Offered(HCALL call) {
  if (!m_Answering || m_Call) {  // busy with a call already: not ours to take
    if (call != m_Call) lineDeallocateCall(call);
    return;
  }
  // Rings count per incoming call: a new caller starts again at one.
  const DWORD id = m_Session.CallIdOf(call);
  if (id != m_RingingCall) m_Rings = 0;
  m_RingingCall = id;
  ++m_Rings;
  Say(QStringLiteral("ring %1 from %2").arg(m_Rings).arg(m_Session.CallerOf(call)));
  if (m_Rings < m_Options.rings) {
    lineDeallocateCall(call);  // offered again, with a new handle, at the next ring
    return;
  }
  const LONG r = lineAnswer(call, nullptr, 0);
  if (r < 0) {
    Say(QStringLiteral("cannot answer: %1").arg(LineSession::ErrorText(r)));
    lineDeallocateCall(call);
    return;
  }
  m_Call = call;
}

void CallRunner::Connected(HCALL call) {
  m_Connected = m_EverConnected = true;
  Say(QStringLiteral("connected with %1 at %2 bit/s")
          .arg(m_Answering ? m_Session.CallerOf(call) : m_Options.number)
          .arg(m_Session.RateOf(call)));
  const HANDLE comm = m_Session.CommHandle();
  if (comm == INVALID_HANDLE_VALUE) {
    Say(QStringLiteral("the call has no data path"));
    HangUp();
    return;
  }
  int input = STDIN_FILENO, output = STDOUT_FILENO;
  if (!m_Options.exec.isEmpty() && !StartCommand(input, output)) {
    CloseHandle(comm);
    HangUp();
    return;
  }
  m_Join = std::make_unique<CallJoin>(comm, input, output, [this] { OnMain([this] { HangUp(); }); });
}

void CallRunner::Disconnected(DWORD mode) {
  Say(DisconnectReason(mode));
  if (!m_EverConnected) m_ExitCode = 1;
  m_Connected = false;
  if (m_Join) m_Join->FinishOutput();
  if (m_Command > 0) {
    AwaitCommand();  // it got end of input; the call is released once it has exited
    return;
  }
  CallOver();
}

void CallRunner::HangUp() {
  if (!m_Call || m_HangingUp) return;
  if (!m_Connected) {  // the far end went first
    if (m_Command <= 0) CallOver();
    return;
  }
  m_HangingUp = true;
  if (m_Join) m_Join->StopOutput();
  if (lineDrop(m_Call, nullptr, 0) < 0) CallOver();  // IDLE follows a drop that was taken
}

bool CallRunner::StartCommand(int& input, int& output) {
  int toCommand[2], fromCommand[2];
  if (::pipe2(toCommand, O_CLOEXEC) != 0 || ::pipe2(fromCommand, O_CLOEXEC) != 0) {
    Say(QStringLiteral("cannot make the command's pipes"));
    return false;
  }
  const QByteArray command = m_Options.exec.toLocal8Bit();
  m_Command = ::fork();
  if (m_Command == 0) {
    ::dup2(toCommand[0], STDIN_FILENO);
    ::dup2(fromCommand[1], STDOUT_FILENO);
    ::execl("/bin/sh", "sh", "-c", command.constData(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(toCommand[0]);
  ::close(fromCommand[1]);
  if (m_Command < 0) {
    Say(QStringLiteral("cannot start the command"));
    ::close(toCommand[1]);
    ::close(fromCommand[0]);
    return false;
  }
  input = fromCommand[0];
  output = toCommand[1];
  return true;
}

void CallRunner::AwaitCommand() {
  if (m_CommandWatch) return;
  m_CommandWatch = new QTimer(QCoreApplication::instance());
  QObject::connect(m_CommandWatch, &QTimer::timeout, [this] {
    int status = 0;
    if (::waitpid(m_Command, &status, WNOHANG) != m_Command) return;
    m_Command = -1;
    m_CommandWatch->deleteLater();
    m_CommandWatch = nullptr;
    CallOver();
  });
  m_CommandWatch->start(20);
}

void CallRunner::CallOver() {
  if (!m_Call) return;
  if (m_Command > 0) {  // the command still runs on the call's pipes: it has the last word
    AwaitCommand();
    return;
  }
  m_Join.reset();
  lineDeallocateCall(m_Call);
  m_Call = 0;
  m_Rings = 0;
  m_Connected = m_HangingUp = false;
  if (!m_Answering || m_Options.once) QCoreApplication::exit(m_ExitCode);
}
