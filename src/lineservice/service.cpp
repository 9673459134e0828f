#include "lineservice/service.h"

#include "lineservice/atmodem.h"
#include "lineservice/connection.h"
#include "lineservice/datapath.h"
#include "lineservice/listener.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace lineservice {

namespace {

std::mutex g_Lock;
std::unique_ptr<Service> g_Service;

// How long the last lineShutdown lets hung-up calls tell their far ends before it cuts them off.
constexpr auto kGoodbyeBound = std::chrono::seconds(1);

}  // namespace

std::mutex& ServiceLock() { return g_Lock; }

void Complain(const char* function, const std::string& why) {
  std::fprintf(stderr, "tapi32: %s: %s\n", function, why.c_str());
}

Service* Service::Current() { return g_Service.get(); }

LONG Service::Initialize(LINECALLBACK callback, HLINEAPP* app, DWORD* numDevices) {
  std::string why;
  CallbackReceiver* receiver = CallbackReceiver::Create(callback, why);
  if (!receiver) {
    Complain("lineInitialize", why);
    return LINEERR_OPERATIONFAILED;
  }
  // The store is read before the lock is taken; it is used only while no line is open.
  std::vector<ModemEntry> modems;
  const bool loaded = ReadModems(modems, why);
  const RingCadence cadence = ReadRingCadence();

  std::lock_guard lock(g_Lock);
  const bool fresh = !g_Service;
  if (fresh || (g_Service->m_Lines.empty() && !g_Service->ModemsRunning())) {
    if (!loaded) {
      CallbackReceiver::Dispose(receiver);
      Complain("lineInitialize", why);
      return LINEERR_INIFILECORRUPT;
    }
    if (fresh) g_Service.reset(new Service);
    g_Service->SetDevices(modems);
    g_Service->m_Cadence = cadence;
    g_Service->m_Unpaced = UnpacedByEnvironment();
    if (fresh) g_Service->Start();
  }
  const LONG result = g_Service->AddApp(receiver, app);
  *numDevices = g_Service->DeviceCount();
  return result;
}

LONG Service::Shutdown(HLINEAPP handle) {
  std::unique_ptr<Service> stopping;
  CallbackReceiver* receiver = nullptr;
  {
    std::lock_guard lock(g_Lock);
    Service* service = g_Service.get();
    App* app = service ? service->FindApp(handle) : nullptr;
    if (!app) return service ? LINEERR_INVALAPPHANDLE : LINEERR_UNINITIALIZED;
    receiver = app->receiver;
    std::vector<HLINE> lines;
    for (const auto& [lineHandle, line] : service->m_Lines)
      if (line.app == handle) lines.push_back(lineHandle);
    for (HLINE line : lines) service->CloseLine(line);
    service->m_Apps.erase(handle);
    if (service->m_Apps.empty()) {
      stopping = std::move(g_Service);
      stopping->BeginStop();
    }
  }
  CallbackReceiver::Dispose(receiver);
  if (stopping) stopping->FinishStop();
  return 0;
}

void Service::Start() {
  Exchange::Hooks hooks;
  hooks.listeners = [this] {
    std::vector<std::shared_ptr<Listener>> listeners;
    for (const Device& device : m_Devices)
      if (device.listener) listeners.push_back(device.listener);
    return listeners;
  };
  hooks.accepted = [this](Listener& listener, int fd) { OnAccepted(listener, fd); };
  m_Exchange = std::make_unique<Exchange>(std::move(hooks));
}

void Service::BeginStop() {
  m_Stopping = true;
  for (DWORD device = 0; device < m_Devices.size(); ++device) RetireModem(device);
  m_TapAdded.notify_all();
  for (auto& connection : m_Connections) connection->Close();
}

void Service::FinishStop() {
  // Hung-up calls get a moment to tell their far ends; then everything is cut off and joined.
  const auto deadline = std::chrono::steady_clock::now() + kGoodbyeBound;
  for (;;) {
    bool finished = true;
    {
      std::lock_guard lock(g_Lock);
      for (const auto& connection : m_Connections) finished = finished && connection->Finished();
    }
    if (finished || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // The taps go first: a connection's reader may be waiting to hand bytes to one.
  m_Exchange->Stop();
  std::vector<std::shared_ptr<Connection>> connections;
  {
    std::lock_guard lock(g_Lock);
    connections.swap(m_Connections);
    m_Routes.clear();
    m_Unclaimed.clear();
  }
  for (auto& connection : connections) connection->Abort();
  connections.clear();  // joined
  m_Exchange.reset();
}

void Service::SetDevices(const std::vector<ModemEntry>& modems) {
  m_Devices.clear();
  for (const ModemEntry& modem : LineDevices(modems)) {
    Device device;
    device.modem = modem;
    const auto stored = modem.devConfig.empty()
                            ? std::nullopt
                            : ParseDevConfig(modem.devConfig.data(), modem.devConfig.size());
    device.config = stored ? *stored : DefaultDevConfig();
    m_Devices.push_back(std::move(device));
  }
}

DWORD Service::NewHandle() { return m_NextHandle++; }

bool Service::ModemsRunning() const {
  return std::any_of(m_Devices.begin(), m_Devices.end(), [](const Device& d) { return d.at != nullptr; });
}

DWORD Service::NextRequest() {
  m_NextRequest = m_NextRequest >= 0x7FFFFFFF ? 1 : m_NextRequest + 1;
  return m_NextRequest;
}

LONG Service::AddApp(CallbackReceiver* receiver, HLINEAPP* app) {
  const HLINEAPP handle = NewHandle();
  m_Apps[handle] = App{handle, receiver};
  *app = handle;
  return 0;
}

App* Service::FindApp(HLINEAPP handle) {
  const auto it = m_Apps.find(handle);
  return it == m_Apps.end() ? nullptr : &it->second;
}

Line* Service::FindLine(HLINE handle) {
  const auto it = m_Lines.find(handle);
  return it == m_Lines.end() ? nullptr : &it->second;
}

std::shared_ptr<Call> Service::FindCall(HCALL handle) {
  const auto it = m_Calls.find(handle);
  return it == m_Calls.end() ? nullptr : it->second;
}

void Service::PostLine(const Line& line, DWORD device, DWORD message, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
  if (App* app = FindApp(line.app)) app->receiver->Post(LineMessage{device, message, line.instance, p1, p2, p3});
}

void Service::Reply(const Line& line, DWORD request, LONG result) {
  PostLine(line, 0, LINE_REPLY, request, static_cast<DWORD>(result));
}

}  // namespace lineservice
