// Moving a test's bytes through a comm handle: all of them written, a count of them read, each with
// a generous bound.
#pragma once

#include "commio.h"

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <vector>

// Every byte of `data` written to `handle`, waiting for each write.
inline bool WriteAll(HANDLE handle, const QByteArray& data) {
  for (int at = 0; at < data.size();) {
    Overlapped write;
    DWORD done = 0;
    const int chunk = std::min<int>(data.size() - at, 8192);
    if (!WriteFile(handle, data.constData() + at, DWORD(chunk), &done, &write)) {
      const long n = Finish(handle, &write, 30000);
      if (n <= 0) return false;
      done = DWORD(n);
    }
    at += int(done);
  }
  return true;
}

inline QByteArray ReadCount(HANDLE handle, int count) {
  SetTimeouts(handle, 0xFFFFFFFF, 0xFFFFFFFF, 200);
  QByteArray data;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::vector<char> buffer(16384);
  while (data.size() < count && std::chrono::steady_clock::now() < deadline) {
    Overlapped read;
    DWORD got = 0;
    if (!ReadFile(handle, buffer.data(), DWORD(buffer.size()), &got, &read)) {
      const long n = Finish(handle, &read);
      if (n < 0) break;
      got = DWORD(n);
    }
    data.append(buffer.data(), int(got));
  }
  return data;
}
