#include "modeminstall.h"

#include "framework/serialdevices.h"
#include "lineservice/atport.h"
#include "lineservice/modemstore.h"
#include "lineservice/portholder.h"

#include <cctype>
#include <cstdio>

namespace {

using lineservice::AtPort;
using lineservice::AtResultKind;
constexpr AtPort::Millis kAnswerBound{1500};

DCB ProbeState() {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;  // no flow control: a modem without CTS still answers
  return dcb;
}

bool Answers(AtPort& port) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto result = port.Command("AT\r", kAnswerBound);
    if (result && result->kind == AtResultKind::Ok) return true;
  }
  return false;
}

// What the modem tells of itself: the first ATI3 or ATI0 line with a letter in it.
std::string Identification(AtPort& port) {
  for (const char* command : {"ATI3\r", "ATI0\r", "ATI\r"}) {
    std::vector<std::string> text;
    const auto result = port.Command(command, kAnswerBound, &text);
    if (!result || result->kind != AtResultKind::Ok) continue;
    for (const std::string& line : text)
      for (char c : line)
        if (std::isalpha(static_cast<unsigned char>(c))) return line;
  }
  return {};
}

std::string PortPath(const QString& port) {
  const std::string path = port.toStdString();
  return path.find('/') == std::string::npos ? "/dev/" + path : path;
}

void Fail(const std::string& text) { std::fprintf(stderr, "qxline: %s\n", text.c_str()); }

}  // namespace

int AddModem(const LineOptions& options) {
  const std::string path = PortPath(options.port);
  AtPort::Failure failure = AtPort::Failure::None;
  std::string why;
  const DCB state = ProbeState();
  auto port = AtPort::Open(path, &state, nullptr, failure, why);
  if (!port) {
    Fail(why);
    return 1;
  }
  if (!Answers(*port)) {
    Fail("no modem answers AT with OK on " + path);
    return 1;
  }
  std::string name = options.name.toStdString();
  if (name.empty()) name = Identification(*port);
  if (name.empty()) name = "Modem on " + path;
  port.reset();
  if (!lineservice::AddAtModem(name, path, options.init.toStdString(), why)) {
    Fail(why);
    return 1;
  }
  std::printf("added \"%s\" on %s\n", name.c_str(), path.c_str());
  return 0;
}

int Probe(const LineOptions& options) {
  std::vector<std::string> paths;
  for (const QString& name : SerialDeviceNames(QStringLiteral("/dev")))
    if (name.startsWith(QStringLiteral("ttyS")) || name.startsWith(QStringLiteral("ttyUSB")) ||
        name.startsWith(QStringLiteral("ttyACM")))
      paths.push_back("/dev/" + name.toStdString());
  for (const QString& path : options.ports) paths.push_back(PortPath(path));
  std::printf("%-24s %s\n", "port", "modem");
  for (const std::string& path : paths) {
    std::string found;
    if (const auto holder = lineservice::FindPortHolder(path)) {
      found = "in use by " + holder->Describe() + " (not probed)";
    } else {
      AtPort::Failure failure = AtPort::Failure::None;
      std::string why;
      const DCB state = ProbeState();
      auto port = AtPort::Open(path, &state, nullptr, failure, why);
      if (!port) found = why;
      else if (!Answers(*port)) found = "no answer";
      else if (const std::string id = Identification(*port); !id.empty()) found = "answers: " + id;
      else found = "answers";
    }
    std::printf("%-24s %s\n", path.c_str(), found.c_str());
  }
  return 0;
}
