// Helpers for tests of the line service: the library loaded as the binding loads it, a recorder
// of the callbacks, a usage handle that shuts itself down, and a fresh store and runtime folder
// for each test.
#pragma once

#include "commdata.h"
#include "platform/tapi.h"
#include "platform/winapi.h"
#include "qtwait.h"
#include "testenvironment.h"

#include <QByteArray>
#include <QString>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The line functions of "tapi32.dll", looked up by name.
struct TapiLibrary {
#define QX_LINE_FUNCTIONS(X)                                                                                   \
  X(lineInitialize) X(lineShutdown) X(lineNegotiateAPIVersion) X(lineOpen) X(lineClose) X(lineGetID)           \
  X(lineGetDevCaps) X(lineGetDevConfig) X(lineSetDevConfig) X(lineConfigDialog) X(lineTranslateAddress)        \
  X(lineMakeCall) X(lineAnswer) X(lineDrop) X(lineDeallocateCall) X(lineGetCallStatus) X(lineGetCallInfo)      \
  X(lineSetCallParams) X(lineMonitorDigits) X(lineGenerateDigits) X(lineGetAddressID) X(lineUncompleteCall)
#define QX_LINE_MEMBER(name) decltype(&::name) name = nullptr;
  QX_LINE_FUNCTIONS(QX_LINE_MEMBER)
#undef QX_LINE_MEMBER

  HMODULE module = nullptr;

  TapiLibrary() {
    module = LoadLibraryA("tapi32.dll");
    if (!module) return;
#define QX_LINE_RESOLVE(name) name = reinterpret_cast<decltype(name)>(GetProcAddress(module, #name));
    QX_LINE_FUNCTIONS(QX_LINE_RESOLVE)
#undef QX_LINE_RESOLVE
  }
  ~TapiLibrary() {
    if (module) FreeLibrary(module);
  }
  TapiLibrary(const TapiLibrary&) = delete;
  TapiLibrary& operator=(const TapiLibrary&) = delete;
};

struct LineEvent {
  DWORD device = 0;
  DWORD message = 0;
  DWORD_PTR instance = 0;
  DWORD_PTR p1 = 0, p2 = 0, p3 = 0;
  std::thread::id thread;
};

// Keeps every callback while it exists (one recorder at a time).
class LineRecorder {
public:
  LineRecorder() { Current() = this; }
  ~LineRecorder() { Current() = nullptr; }
  LineRecorder(const LineRecorder&) = delete;
  LineRecorder& operator=(const LineRecorder&) = delete;

  static void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
    if (LineRecorder* recorder = Current()) {
      std::lock_guard lock(recorder->m_Mutex);
      recorder->m_Events.push_back({device, message, instance, p1, p2, p3, std::this_thread::get_id()});
      if (recorder->onEvent) recorder->onEvent(recorder->m_Events.back());
    }
  }

  std::vector<LineEvent> Events() const {
    std::lock_guard lock(m_Mutex);
    return m_Events;
  }
  std::size_t Count() const { return Events().size(); }

  // Processes events until one at position `from` or later matches; that event.
  std::optional<LineEvent> WaitFor(const std::function<bool(const LineEvent&)>& match, std::size_t from = 0,
                                   int boundMs = 10000) {
    std::optional<LineEvent> found;
    ProcessEventsUntil(
        [&] {
          const auto events = Events();
          for (std::size_t i = from; i < events.size(); ++i)
            if (match(events[i])) {
              found = events[i];
              return true;
            }
          return false;
        },
        boundMs);
    return found;
  }
  std::optional<LineEvent> WaitForState(HCALL call, DWORD state, std::size_t from = 0, int boundMs = 10000) {
    return WaitFor([=](const LineEvent& e) { return e.message == LINE_CALLSTATE && e.device == call && e.p1 == state; },
                   from, boundMs);
  }
  // The call states of one call, in order.
  std::vector<DWORD> StatesOf(HCALL call) const {
    std::vector<DWORD> states;
    for (const LineEvent& e : Events())
      if (e.message == LINE_CALLSTATE && e.device == call) states.push_back(DWORD(e.p1));
    return states;
  }

  // Runs inside the callback (tests that answer or deallocate as an application does).
  std::function<void(const LineEvent&)> onEvent;

private:
  static LineRecorder*& Current() {
    static LineRecorder* current = nullptr;
    return current;
  }
  mutable std::mutex m_Mutex;
  std::vector<LineEvent> m_Events;
};

// A fresh registry store and runtime folder for the test, short rings, unpaced links.
class LineServiceTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_NE(tapi.module, nullptr) << "tapi32.dll did not load"; }
  QString RuntimePath(const QString& name) const { return QString::fromStdString(m_Folder / "run/") + name; }

  TempFolder m_Folder;
  ScopedVariable m_Registry{"QX_REGISTRY_DIR", m_Folder / "registry"};
  ScopedVariable m_Runtime{"QX_LINE_RUNTIME_DIR", m_Folder / "run"};
  ScopedVariable m_Cadence{"QX_LINE_RING_CADENCE", "60,60"};
  ScopedVariable m_Unpaced{"QX_LINE_UNPACED", "1"};
  TapiLibrary tapi;
  LineRecorder recorder;
};

// A usage handle with the recorder as callback and the negotiated version; shut down with the object.
struct LineApp {
  explicit LineApp(TapiLibrary& library) : tapi(library) {
    EXPECT_EQ(tapi.lineInitialize(&app, nullptr, &LineRecorder::Callback, "test", &devices), 0);
    LINEEXTENSIONID extension{};
    if (app) {
      EXPECT_EQ(tapi.lineNegotiateAPIVersion(app, 0, 0x00010000, 0x00090000, &version, &extension), 0);
    }
  }
  ~LineApp() {
    if (app) tapi.lineShutdown(app);
  }
  LineApp(const LineApp&) = delete;
  LineApp& operator=(const LineApp&) = delete;

  HLINE Open(DWORD device, DWORD privileges = LINECALLPRIVILEGE_NONE, DWORD_PTR instance = 1,
             DWORD mediaModes = LINEMEDIAMODE_DATAMODEM) {
    HLINE line = 0;
    EXPECT_EQ(tapi.lineOpen(app, device, &line, version, 0, instance, privileges, mediaModes, nullptr), 0);
    return line;
  }
  // A VARSTRING answer of lineGetID; empty when the request fails.
  QByteArray Id(HLINE line, const char* deviceClass, DWORD select = LINECALLSELECT_LINE, HCALL call = 0) {
    QByteArray buffer(1024, '\0');
    auto* answer = reinterpret_cast<VARSTRING*>(buffer.data());
    answer->dwTotalSize = DWORD(buffer.size());
    if (tapi.lineGetID(line, 0, call, select, answer, deviceClass) != 0) return {};
    return buffer;
  }
  // The line's comm handle ("comm/datamodem"), owned by the caller.
  HANDLE Comm(HLINE line) {
    const QByteArray answer = Id(line, "comm/datamodem");
    if (answer.isEmpty()) return INVALID_HANDLE_VALUE;
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::memcpy(&handle, answer.constData() + reinterpret_cast<const VARSTRING*>(answer.constData())->dwStringOffset,
                sizeof handle);
    return handle;
  }
  // The device's configuration as lineGetDevConfig answers it into a 2048-byte buffer.
  QByteArray Config(DWORD device) {
    QByteArray buffer(2048, '\0');
    reinterpret_cast<VARSTRING*>(buffer.data())->dwTotalSize = DWORD(buffer.size());
    EXPECT_EQ(tapi.lineGetDevConfig(device, reinterpret_cast<VARSTRING*>(buffer.data()), "comm/datamodem"), 0);
    return buffer;
  }
  // Changes the configuration block (from byte 24 of Config's answer) and stores it.
  void ChangeConfig(DWORD device, const std::function<void(QByteArray& buffer)>& change) {
    QByteArray buffer = Config(device);
    change(buffer);
    const DWORD size = reinterpret_cast<const VARSTRING*>(buffer.constData())->dwStringSize;
    EXPECT_EQ(tapi.lineSetDevConfig(device, buffer.constData() + 24, size, "comm/datamodem"), 0);
  }

  TapiLibrary& tapi;
  HLINEAPP app = 0;
  DWORD devices = 0;
  DWORD version = 0;
};

// Answers each call offered to `line` at ring `answerAt`, deallocating the offerings before it.
struct Answerer {
  Answerer(TapiLibrary& tapi, LineRecorder& recorder, int answerAt) {
    recorder.onEvent = [&tapi, this, answerAt](const LineEvent& e) {
      if (e.message != LINE_CALLSTATE || e.p1 != LINECALLSTATE_OFFERING) return;
      offered.push_back(e.device);
      LINECALLINFO* info = reinterpret_cast<LINECALLINFO*>(infoBuffer.data());
      info->dwTotalSize = DWORD(infoBuffer.size());
      if (tapi.lineGetCallInfo(e.device, info) == 0) {
        callerId = QByteArray(infoBuffer.constData() + info->dwCallerIDOffset, int(info->dwCallerIDSize));
        callerName = QByteArray(infoBuffer.constData() + info->dwCallerIDNameOffset, int(info->dwCallerIDNameSize));
        calledId = QByteArray(infoBuffer.constData() + info->dwCalledIDOffset, int(info->dwCalledIDSize));
      }
      if (int(offered.size()) < answerAt) {
        EXPECT_EQ(tapi.lineDeallocateCall(e.device), 0);
        return;
      }
      answered = e.device;
      answerRequest = tapi.lineAnswer(e.device, nullptr, 0);
    };
  }
  std::vector<HCALL> offered;
  HCALL answered = 0;
  LONG answerRequest = 0;
  QByteArray infoBuffer = QByteArray(2392, '\0');
  QByteArray callerId, callerName, calledId;
};

// A virtual modem written into the store as a user (or qxline add-virtual) would add it.
inline void AddVirtualModemKey(const char* key, const char* name, const char* number) {
  const std::string path =
      std::string("SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}\\") + key;
  HKEY modem = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &modem, nullptr),
            LONG(ERROR_SUCCESS));
  for (auto [value, text] : {std::pair{"FriendlyName", name}, {"AttachedTo", "virtual"}, {"Number", number}})
    RegSetValueExA(modem, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), DWORD(std::strlen(text) + 1));
  RegCloseKey(modem);
}

template <class T>
T FieldAt(const QByteArray& buffer, int offset) {
  T value{};
  if (offset >= 0 && std::size_t(buffer.size()) >= offset + sizeof value)
    std::memcpy(&value, buffer.constData() + offset, sizeof value);
  return value;
}

template <class T>
void SetFieldAt(QByteArray& buffer, int offset, T value) {
  std::memcpy(buffer.data() + offset, &value, sizeof value);
}
