// The registry calls and their store: result codes, sizes, names without regard to case, access
// rights, deletion, the file's text, a corrupt file, and writers in two processes at once. Every test
// has a store folder of its own (QX_REGISTRY_DIR).
#include "platform/winapi.h"
#include "support/testenvironment.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string Bytes(const char* text) { return std::string(text, std::strlen(text) + 1); }

class Registry : public testing::Test {
protected:
  std::string StorePath(const char* root = "HKEY_CURRENT_USER") const { return m_Folder / (std::string(root) + ".reg"); }
  std::string StoreText() const { return FileBytes(StorePath()); }

  // Replaces the store file as an editor or another process would: a new file under the name.
  void ReplaceStore(const std::string& text) const {
    PutFile(StorePath() + ".new", text);
    fs::rename(StorePath() + ".new", StorePath());
  }

  HKEY Create(const char* path, REGSAM access = KEY_ALL_ACCESS, HKEY parent = HKEY_CURRENT_USER) {
    HKEY key = 0;
    EXPECT_EQ(RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << path;
    m_Opened.push_back(key);
    return key;
  }

  HKEY Open(const char* path, REGSAM access = KEY_ALL_ACCESS, HKEY parent = HKEY_CURRENT_USER) {
    HKEY key = 0;
    EXPECT_EQ(RegOpenKeyExA(parent, path, 0, access, &key), ERROR_SUCCESS) << path;
    m_Opened.push_back(key);
    return key;
  }

  static LONG Set(HKEY key, const char* name, DWORD type, const std::string& data) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
  }

  static LONG Query(HKEY key, const char* name, std::string* data = nullptr) {
    BYTE buffer[4096];
    DWORD size = sizeof buffer;
    const LONG result = RegQueryValueExA(key, name, nullptr, nullptr, buffer, &size);
    if (data && result == ERROR_SUCCESS) data->assign(reinterpret_cast<char*>(buffer), size);
    return result;
  }

  static std::vector<std::string> Subkeys(HKEY key) {
    std::vector<std::string> names;
    char name[1024];
    DWORD size = sizeof name;
    for (DWORD index = 0; RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++index, size = sizeof name) {
      names.emplace_back(name, size);
    }
    return names;
  }

  void TearDown() override {
    for (const HKEY key : m_Opened) RegCloseKey(key);
  }

  TempFolder m_Folder;
  ScopedVariable m_Store{"QX_REGISTRY_DIR", m_Folder.Path().string()};
  std::vector<HKEY> m_Opened;
};

TEST_F(Registry, QueryGivesTypeAndSizeAndAsksForMore) {
  const std::string binary(300, '\x5A');
  const struct {
    DWORD type;
    std::string stored;
    int buffer;  // bytes offered; -1: no buffer, only the size is asked for
    LONG result;
  } cases[] = {
      {REG_SZ, Bytes("modem"), -1, ERROR_SUCCESS},     {REG_SZ, Bytes("modem"), 6, ERROR_SUCCESS},
      {REG_SZ, Bytes("modem"), 5, ERROR_MORE_DATA},    {REG_SZ, Bytes("modem"), 64, ERROR_SUCCESS},
      {REG_DWORD, std::string("\x0a\0\0\0", 4), 4, ERROR_SUCCESS},
      {REG_DWORD, std::string("\x0a\0\0\0", 4), 3, ERROR_MORE_DATA},
      {REG_BINARY, "", 0, ERROR_SUCCESS},              {REG_BINARY, binary, 299, ERROR_MORE_DATA},
      {REG_BINARY, binary, 300, ERROR_SUCCESS},        {REG_MULTI_SZ, std::string("a\0b\0\0", 5), 16, ERROR_SUCCESS},
  };
  const HKEY key = Create("Software\\Sizes");
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " size " << c.stored.size() << " buffer " << c.buffer);
    ASSERT_EQ(Set(key, "Value", c.type, c.stored), ERROR_SUCCESS);
    std::string buffer(c.buffer < 0 ? 0 : c.buffer, '#');
    DWORD type = 0;
    DWORD size = c.buffer < 0 ? 0 : c.buffer;
    BYTE* data = c.buffer < 0 ? nullptr : reinterpret_cast<BYTE*>(buffer.data());
    EXPECT_EQ(RegQueryValueExA(key, "Value", nullptr, &type, data, &size), c.result);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.stored.size()) << "the size needed";
    if (c.result == ERROR_SUCCESS && data) {
      EXPECT_EQ(buffer.substr(0, size), c.stored);
    }
    if (c.result == ERROR_MORE_DATA) {
      EXPECT_EQ(buffer, std::string(c.buffer, '#')) << "nothing written";
    }
  }
  EXPECT_EQ(RegQueryValueExA(key, "Value", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(Query(key, "Missing"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, NamesIgnoreCaseKeepFirstSpellingAndSortSubkeys) {
  const HKEY modems = Create("Software\\Modems");
  for (const char* name : {"zeta", "Alpha", "beta", "_under", "Beta2"}) Create(name, KEY_READ, modems);
  HKEY again = 0;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(modems, "ALPHA", 0, nullptr, 0, KEY_READ, nullptr, &again, &disposition), ERROR_SUCCESS);
  m_Opened.push_back(again);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  // Sorted by upper case, as the registry sorts: '_' comes after the letters.
  EXPECT_EQ(Subkeys(modems), (std::vector<std::string>{"Alpha", "beta", "Beta2", "zeta", "_under"}));

  Open("SOFTWARE\\modems\\BETA2", KEY_READ);
  ASSERT_EQ(Set(modems, "FriendlyName", REG_SZ, Bytes("Modem 1")), ERROR_SUCCESS);
  ASSERT_EQ(Set(modems, "FRIENDLYNAME", REG_SZ, Bytes("Modem 2")), ERROR_SUCCESS);
  std::string text;
  EXPECT_EQ(Query(modems, "friendlyname", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, Bytes("Modem 2"));
  EXPECT_NE(StoreText().find("\"FriendlyName\"=\"Modem 2\""), std::string::npos) << StoreText();

  // A name that does not fit leaves the size as it was; the terminator must fit too.
  char name[8];
  DWORD size = 5;
  EXPECT_EQ(RegEnumKeyExA(modems, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  size = 6;
  char keyClass[4] = "xyz";
  DWORD classSize = sizeof keyClass;
  FILETIME written{};
  EXPECT_EQ(RegEnumKeyExA(modems, 0, name, &size, nullptr, keyClass, &classSize, &written), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Alpha");
  EXPECT_EQ(size, 5u);
  EXPECT_STREQ(keyClass, "");
  EXPECT_NE(written.dwHighDateTime, 0u) << "the store's time";
  size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(modems, 5, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(Registry, AccessRightsOfTheHandle) {
  enum class Op { Query, Set, Enumerate, CreateNew, CreateExisting, DeleteValue, DeleteSubkey, DeleteItself };
  const struct {
    REGSAM access;
    Op op;
    LONG result;
  } cases[] = {
      {KEY_QUERY_VALUE, Op::Query, ERROR_SUCCESS},           {KEY_QUERY_VALUE, Op::Set, ERROR_ACCESS_DENIED},
      {KEY_QUERY_VALUE, Op::Enumerate, ERROR_ACCESS_DENIED}, {KEY_ENUMERATE_SUB_KEYS, Op::Enumerate, ERROR_SUCCESS},
      {KEY_ENUMERATE_SUB_KEYS, Op::Query, ERROR_ACCESS_DENIED}, {KEY_SET_VALUE, Op::Set, ERROR_SUCCESS},
      {KEY_SET_VALUE, Op::DeleteValue, ERROR_SUCCESS},       {KEY_SET_VALUE, Op::CreateNew, ERROR_ACCESS_DENIED},
      {KEY_CREATE_SUB_KEY, Op::CreateNew, ERROR_SUCCESS},    {KEY_READ, Op::Query, ERROR_SUCCESS},
      {KEY_READ, Op::Enumerate, ERROR_SUCCESS},              {KEY_READ, Op::Set, ERROR_ACCESS_DENIED},
      {KEY_READ, Op::DeleteValue, ERROR_ACCESS_DENIED},      {KEY_READ, Op::CreateNew, ERROR_ACCESS_DENIED},
      {KEY_READ, Op::CreateExisting, ERROR_SUCCESS},         {KEY_WRITE, Op::Set, ERROR_SUCCESS},
      {KEY_WRITE, Op::CreateNew, ERROR_SUCCESS},             {KEY_WRITE, Op::Query, ERROR_ACCESS_DENIED},
      {KEY_WRITE, Op::Enumerate, ERROR_ACCESS_DENIED},       {KEY_WRITE, Op::DeleteItself, ERROR_ACCESS_DENIED},
      {KEY_ALL_ACCESS, Op::DeleteItself, ERROR_SUCCESS},     {0, Op::DeleteSubkey, ERROR_SUCCESS},
  };
  int number = 0;
  for (const auto& c : cases) {
    const std::string path = "Software\\Rights" + std::to_string(++number);
    SCOPED_TRACE(path);
    const HKEY full = Create(path.c_str());
    ASSERT_EQ(Set(full, "v", REG_SZ, Bytes("old")), ERROR_SUCCESS);
    Create("Sub", KEY_ALL_ACCESS, full);
    // DeleteItself works on the subkey, which has no subkeys of its own.
    const HKEY key = Open(c.op == Op::DeleteItself ? "Sub" : "", c.access, full);
    const std::string before = StoreText();

    HKEY created = 0;
    char name[64];
    DWORD size = sizeof name;
    LONG result = ERROR_INVALID_FUNCTION;
    switch (c.op) {
      case Op::Query: result = Query(key, "v"); break;
      case Op::Set: result = Set(key, "v", REG_SZ, Bytes("new")); break;
      case Op::Enumerate: result = RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr); break;
      case Op::CreateNew: result = RegCreateKeyExA(key, "New", 0, nullptr, 0, KEY_READ, nullptr, &created, nullptr); break;
      case Op::CreateExisting:
        result = RegCreateKeyExA(key, "Sub", 0, nullptr, 0, KEY_READ, nullptr, &created, nullptr);
        break;
      case Op::DeleteValue: result = RegDeleteValueA(key, "v"); break;
      case Op::DeleteSubkey: result = RegDeleteKeyA(key, "Sub"); break;
      case Op::DeleteItself: result = RegDeleteKeyA(key, ""); break;
    }
    EXPECT_EQ(result, c.result);
    if (created) RegCloseKey(created);
    if (c.result == ERROR_ACCESS_DENIED) {
      EXPECT_EQ(StoreText(), before) << "nothing changed";
    }
  }
}

TEST_F(Registry, DeleteRules) {
  const HKEY tree = Create("Software\\Tree");
  Create("Leaf", KEY_READ, tree);
  Create("Branch\\Twig", KEY_READ, tree);
  ASSERT_EQ(Set(tree, "", REG_SZ, Bytes("default")), ERROR_SUCCESS);
  const struct {
    HKEY key;
    const char* subKey;
    LONG result;
  } cases[] = {
      {tree, "Branch", ERROR_ACCESS_DENIED},  // has a subkey
      {tree, "Missing", ERROR_FILE_NOT_FOUND},
      {tree, "Branch\\Twig", ERROR_SUCCESS},
      {tree, "branch", ERROR_SUCCESS},  // now empty
      {tree, "Leaf", ERROR_SUCCESS},
      {tree, "Leaf", ERROR_FILE_NOT_FOUND},
      {HKEY_CURRENT_USER, "", ERROR_ACCESS_DENIED},  // a root
      {tree, nullptr, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RegDeleteKeyA(c.key, c.subKey), c.result) << (c.subKey ? c.subKey : "null");
  }
  EXPECT_TRUE(Subkeys(tree).empty());

  // The default value is the one named "" or null.
  std::string text;
  EXPECT_EQ(Query(tree, nullptr, &text), ERROR_SUCCESS);
  EXPECT_EQ(text, Bytes("default"));
  EXPECT_NE(StoreText().find("@=\"default\""), std::string::npos);
  EXPECT_EQ(RegDeleteValueA(tree, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(tree, ""), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, KeyDeletedWhileOpen) {
  const HKEY parent = Create("Software\\Parent");
  const HKEY doomed = Create("Doomed", KEY_ALL_ACCESS, parent);
  const HKEY twin = Open("Software\\PARENT\\doomed");
  ASSERT_EQ(RegDeleteKeyA(parent, "Doomed"), ERROR_SUCCESS);
  // Even once a key of the same name exists again, the handles stay on the deleted key.
  const HKEY reborn = Create("Doomed", KEY_ALL_ACCESS, parent);
  ASSERT_EQ(Set(reborn, "v", REG_SZ, Bytes("x")), ERROR_SUCCESS);
  for (const HKEY key : {doomed, twin}) {
    char name[64];
    DWORD size = sizeof name;
    HKEY sub = 0;
    EXPECT_EQ(Query(key, "v"), ERROR_KEY_DELETED);
    EXPECT_EQ(Set(key, "v", REG_SZ, Bytes("y")), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExA(key, "Sub", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExA(key, "", 0, KEY_READ, &sub), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueA(key, "v"), ERROR_KEY_DELETED);
  }
  EXPECT_EQ(Query(reborn, "v"), ERROR_SUCCESS);

  // Deleted by another process: noticed at the next call.
  const HKEY elsewhere = Create("Software\\Elsewhere");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Elsewhere") == ERROR_SUCCESS ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Set(elsewhere, "v", REG_SZ, Bytes("y")), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(elsewhere), ERROR_SUCCESS);
  m_Opened.pop_back();
}

TEST_F(Registry, BadHandlesAndParameters) {
  const HKEY key = Create("Software\\Params");
  HKEY closed = 0;
  ASSERT_EQ(RegOpenKeyExA(key, "", 0, KEY_READ, &closed), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
  const HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  HKEY result = 1;
  BYTE data[4] = {};
  DWORD size = sizeof data;
  DWORD reserved = 0;
  const struct {
    const char* what;
    LONG expected;
    std::function<LONG()> call;
  } cases[] = {
      {"unknown handle", ERROR_INVALID_HANDLE, [&] { return RegOpenKeyExA(0x1234, "", 0, KEY_READ, &result); }},
      {"HKEY_CLASSES_ROOT", ERROR_INVALID_HANDLE, [&] { return RegOpenKeyExA(0x80000000u, "", 0, KEY_READ, &result); }},
      {"an event", ERROR_INVALID_HANDLE, [&] { return RegQueryValueExA(event, "v", nullptr, nullptr, data, &size); }},
      {"closed key", ERROR_INVALID_HANDLE, [&] { return RegQueryValueExA(closed, "v", nullptr, nullptr, data, &size); }},
      {"close an event", ERROR_INVALID_HANDLE, [&] { return RegCloseKey(event); }},
      {"missing key", ERROR_FILE_NOT_FOUND, [&] { return RegOpenKeyExA(key, "Missing", 0, KEY_READ, &result); }},
      {"no result", ERROR_INVALID_PARAMETER, [&] { return RegOpenKeyExA(key, "", 0, KEY_READ, nullptr); }},
      {"create null", ERROR_INVALID_PARAMETER,
       [&] { return RegCreateKeyExA(key, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &result, nullptr); }},
      {"volatile", ERROR_INVALID_PARAMETER,
       [&] { return RegCreateKeyExA(key, "V", 0, nullptr, 1, KEY_READ, nullptr, &result, nullptr); }},
      {"leading \\", ERROR_BAD_PATHNAME, [&] { return RegOpenKeyExA(key, "\\A", 0, KEY_READ, &result); }},
      {"double \\", ERROR_BAD_PATHNAME,
       [&] { return RegCreateKeyExA(key, "A\\\\B", 0, nullptr, 0, KEY_READ, nullptr, &result, nullptr); }},
      {"line break", ERROR_INVALID_PARAMETER,
       [&] { return RegCreateKeyExA(key, "A\nB", 0, nullptr, 0, KEY_READ, nullptr, &result, nullptr); }},
      {"reserved", ERROR_INVALID_PARAMETER, [&] { return RegQueryValueExA(key, "v", &reserved, nullptr, data, &size); }},
      {"data without size", ERROR_INVALID_PARAMETER, [&] { return RegQueryValueExA(key, "v", nullptr, nullptr, data, nullptr); }},
      {"set null data", ERROR_INVALID_PARAMETER, [&] { return RegSetValueExA(key, "v", 0, REG_BINARY, nullptr, 4); }},
      {"enum null name", ERROR_INVALID_PARAMETER,
       [&] { return RegEnumKeyExA(key, 0, nullptr, &size, nullptr, nullptr, nullptr, nullptr); }},
  };
  for (const auto& c : cases) {
    SetLastError(777);
    result = 1;  // an open or create that fails sets it to 0
    EXPECT_EQ(c.call(), c.expected) << c.what;
    EXPECT_EQ(GetLastError(), 777u) << c.what << ": the last error is left alone";
    if (result != 1) {
      EXPECT_EQ(result, 0u) << c.what << ": no key on failure";
    }
  }
  CloseHandle(event);
  EXPECT_TRUE(Subkeys(key).empty()) << "no key created by a failed call";
}

TEST_F(Registry, StoreIsReadableTextAndReadBackAfterEdits) {
  const HKEY key = Create("Software\\Qx Test");
  std::string block;
  for (int i = 0; i < 30; ++i) block += static_cast<char>(i);
  ASSERT_EQ(Set(key, "", REG_SZ, Bytes("default")), ERROR_SUCCESS);
  ASSERT_EQ(Set(key, "Quote\"Back\\slash", REG_SZ, Bytes("line1\nline2\t\"q\" \\ caf\xE9\x01")), ERROR_SUCCESS);
  ASSERT_EQ(Set(key, "Count", REG_DWORD, std::string("\x0a\0\0\0", 4)), ERROR_SUCCESS);
  ASSERT_EQ(Set(key, "Block", REG_BINARY, block), ERROR_SUCCESS);
  ASSERT_EQ(Set(key, "List", REG_MULTI_SZ, std::string("a\0b\0\0", 5)), ERROR_SUCCESS);
  ASSERT_EQ(Set(key, "Raw", REG_SZ, "abc"), ERROR_SUCCESS);  // stored without its terminator
  ASSERT_EQ(Set(key, "Short", REG_DWORD, "\x01\x02"), ERROR_SUCCESS);
  Create("Child", KEY_READ, key);
  ASSERT_EQ(Set(HKEY_LOCAL_MACHINE, "Machine", REG_SZ, Bytes("yes")), ERROR_SUCCESS);

  EXPECT_EQ(StoreText(),
            "REGEDIT4\n"
            "\n"
            "[HKEY_CURRENT_USER]\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software]\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software\\Qx Test]\n"
            "@=\"default\"\n"
            "\"Quote\\\"Back\\\\slash\"=\"line1\\nline2\\t\\\"q\\\" \\\\ caf\xE9\\x01\"\n"
            "\"Count\"=dword:0000000a\n"
            "\"Block\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
            "  16,17,18,19,1a,1b,1c,1d\n"
            "\"List\"=hex(7):61,00,62,00,00\n"
            "\"Raw\"=hex(1):61,62,63\n"
            "\"Short\"=hex(4):01,02\n"
            "\n"
            "[HKEY_CURRENT_USER\\Software\\Qx Test\\Child]\n"
            "\n");
  EXPECT_EQ(FileBytes(StorePath("HKEY_LOCAL_MACHINE")), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n\"Machine\"=\"yes\"\n\n");

  // Edited by hand (comments, CRLF, spaces, upper-case hex, a continued line): read as written.
  ReplaceStore(
      "REGEDIT4\r\n\r\n; edited by hand\r\n[HKEY_CURRENT_USER\\SOFTWARE\\qx test]\r\n"
      "\"Count\" = dword:FF\r\n\"Block\"=hex:0A, 0b,\\\r\n    0c\r\n\"Name\"=\"caf\xE9\"\r\n");
  std::string value;
  EXPECT_EQ(Query(key, "count", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, std::string("\xff\0\0\0", 4));
  EXPECT_EQ(Query(key, "Block", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, "\x0a\x0b\x0c");
  EXPECT_EQ(Query(key, "Name", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, Bytes("caf\xE9"));
  EXPECT_EQ(Query(key, "Raw"), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(Subkeys(key).empty());
}

TEST_F(Registry, FolderFromEnvironmentCreatedOnFirstWrite) {
  TempFolder config;
  ScopedVariable noStore("QX_REGISTRY_DIR", nullptr);
  ScopedVariable xdg("XDG_CONFIG_HOME", config.Path().string());
  const std::string folder = config / "qxcomm";
  HKEY key = 0;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueA(HKEY_CURRENT_USER, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(folder)) << "reads and failed changes write nothing";
  ASSERT_EQ(Set(HKEY_CURRENT_USER, "First", REG_DWORD, std::string(4, '\0')), ERROR_SUCCESS);
  EXPECT_TRUE(fs::exists(folder + "/HKEY_CURRENT_USER.reg"));
  EXPECT_FALSE(fs::exists(StorePath())) << "not in the other folder";
}

TEST_F(Registry, CorruptStoreIsReportedAndNeverOverwritten) {
  const std::string header = "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n";
  const std::string corrupt[] = {
      "not a registry file\n",
      "REGEDIT4\n\n\"Orphan\"=\"x\"\n",
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n",
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\A\n",
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\\\A]\n",
      header + "\"v\"=\"bad \\q escape\"\n",
      header + "\"v\"=\"unterminated\n",
      header + "\"v\"=hex:01,2\n",
      header + "\"v\"=hex:01,\\\n",
      header + "\"v\"=dword:123456789\n",
      header + "\"v\"=\"a\"\n\"V\"=\"b\"\n",
      header + "garbage\n",
  };
  for (const auto& text : corrupt) {
    SCOPED_TRACE(text);
    ReplaceStore(text);
    HKEY key = 0;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "A", 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "B", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(Set(HKEY_CURRENT_USER, "v", REG_SZ, Bytes("x")), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(StoreText(), text) << "left byte for byte";
  }
  EXPECT_EQ(Set(HKEY_LOCAL_MACHINE, "v", REG_SZ, Bytes("x")), ERROR_SUCCESS) << "the other root is unaffected";

  ReplaceStore(header + "\"v\"=\"mended\"\n");
  const HKEY key = Open("A", KEY_ALL_ACCESS);
  EXPECT_EQ(Set(key, "w", REG_SZ, Bytes("x")), ERROR_SUCCESS);

  // A store that is there but cannot be read at all.
  fs::remove(StorePath());
  fs::create_directory(StorePath());
  EXPECT_EQ(Query(HKEY_CURRENT_USER, "v"), ERROR_BADDB);
  EXPECT_EQ(Set(HKEY_CURRENT_USER, "v", REG_SZ, Bytes("x")), ERROR_BADDB);
}

TEST_F(Registry, WritersInTwoProcessesAtOnceLoseNothing) {
  constexpr int kWrites = 60;
  const HKEY key = Create("Software\\Race");
  int start[2];
  ASSERT_EQ(pipe(start), 0);
  pid_t children[2];
  for (int child = 0; child < 2; ++child) {
    children[child] = fork();
    ASSERT_GE(children[child], 0);
    if (children[child] == 0) {
      close(start[1]);
      char go;
      if (read(start[0], &go, 1) != 0) _exit(2);  // both start when the parent closes the pipe
      // Two threads in each process, so that writers meet within a process as well as between.
      std::atomic<int> failures{0};
      const auto write = [&](int first) {
        for (int i = first; i < kWrites; i += 2) {
          const std::string name = std::to_string(child) + "-" + std::to_string(i);
          failures += Set(key, name.c_str(), REG_SZ, Bytes(name.c_str())) != ERROR_SUCCESS;
          if (i % 10 == 0) {
            HKEY sub = 0;
            failures += RegCreateKeyExA(key, ("k" + name).c_str(), 0, nullptr, 0, KEY_READ, nullptr, &sub,
                                        nullptr) != ERROR_SUCCESS;
            RegCloseKey(sub);
          }
        }
      };
      std::thread other(write, 1);
      write(0);
      other.join();
      _exit(failures == 0 ? 0 : 1);
    }
  }
  close(start[0]);
  close(start[1]);
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  int present = 0;
  for (int child = 0; child < 2; ++child) {
    for (int i = 0; i < kWrites; ++i) {
      const std::string name = std::to_string(child) + "-" + std::to_string(i);
      std::string value;
      present += Query(key, name.c_str(), &value) == ERROR_SUCCESS && value == Bytes(name.c_str());
    }
  }
  EXPECT_EQ(present, 2 * kWrites);
  EXPECT_EQ(Subkeys(key).size(), 2u * kWrites / 10);
  for (const auto& entry : fs::directory_iterator(m_Folder.Path())) {
    EXPECT_TRUE(entry.path().extension() == ".reg" || entry.path().extension() == ".lock") << entry.path();
  }
}

}  // namespace
