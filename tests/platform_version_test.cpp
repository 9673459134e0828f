// GetVersionExA: the host kernel's numbers on the NT platform, and what a test makes it report.
#include "platform/testhooks.h"
#include "platform/winapi.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <algorithm>
#include <cstdio>

namespace {

OSVERSIONINFOA Query() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  std::fill(std::begin(info.szCSDVersion), std::end(info.szCSDVersion), 'x');
  EXPECT_TRUE(GetVersionExA(&info));
  return info;
}

TEST(Version, KernelReleaseOnNtPlatformForTheRecordsSize) {
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  unsigned major = 0, minor = 0, build = 0;
  ASSERT_GE(std::sscanf(names.release, "%u.%u.%u", &major, &minor, &build), 2) << names.release;

  const OSVERSIONINFOA info = Query();
  EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(info.dwMajorVersion, major);
  EXPECT_EQ(info.dwMinorVersion, minor);
  EXPECT_EQ(info.dwBuildNumber, build);
  EXPECT_STREQ(info.szCSDVersion, "");

  for (DWORD size : {0u, 147u, 156u}) {
    OSVERSIONINFOA wrong{};
    wrong.dwOSVersionInfoSize = size;
    SetLastError(0);
    EXPECT_FALSE(GetVersionExA(&wrong)) << size;
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER) << size;
  }
}

TEST(Version, TestMakesItReportAnotherPlatform) {
  const OSVERSIONINFOA host = Query();
  platform::SetReportedVersion(4, 10, 1998, VER_PLATFORM_WIN32_WINDOWS);
  const OSVERSIONINFOA other = Query();
  platform::ResetReportedVersion();
  EXPECT_EQ(other.dwMajorVersion, 4u);
  EXPECT_EQ(other.dwMinorVersion, 10u);
  EXPECT_EQ(other.dwBuildNumber, 1998u);
  EXPECT_EQ(other.dwPlatformId, VER_PLATFORM_WIN32_WINDOWS);
  EXPECT_STREQ(other.szCSDVersion, "");

  const OSVERSIONINFOA again = Query();
  EXPECT_EQ(again.dwMajorVersion, host.dwMajorVersion);
  EXPECT_EQ(again.dwPlatformId, VER_PLATFORM_WIN32_NT);
}

}  // namespace
