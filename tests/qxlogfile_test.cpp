// TqxLogFile: entry format, banner, level filter, size limit, safe mode, file names, failures,
// the text-window mirror and two processes sharing one file.
#include "framework/exception.h"
#include "qx/qxlogfile.h"
#include "qx/qxwin32.h"
#include "support/messagerecorder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QDateTime FixedNow(QDate(2026, 12, 6), QTime(23, 51, 2, 45));

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteFile(const QString& path, const QByteArray& content) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_EQ(file.write(content), content.size());
}

QString Banner() {
  QString version;
  VersionText(QString(), QString(), version);
  return QStringLiteral("qxComm Lib v8.00 ") + version;
}

// A log in a private folder with a fixed clock and the German locale, quiet on standard error.
class LogFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(m_Dir.isValid());
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    m_Log = std::make_unique<TqxLogFile>();
    m_Log->SetClock([this] { return m_Now; });
    m_Log->SetOptions({});
    m_Log->SetFileName(Path());
  }
  void TearDown() override { QLocale::setDefault(QLocale::c()); }

  QString Path(const QString& name = QStringLiteral("x.log")) const { return m_Dir.filePath(name); }
  // What one Write adds to the pending text.
  QByteArray Entry(const QString& text) {
    const qsizetype before = m_Log->PendingText().size();
    m_Log->Write(text);
    return m_Log->PendingText().mid(before);
  }
  // Records the banner and discards it, so that later entries stand alone.
  void PassBanner() {
    m_Log->Write(QStringLiteral("first"));
    m_Log->Clear();
  }

  QTemporaryDir m_Dir;
  QDateTime m_Now = FixedNow;
  std::unique_ptr<TqxLogFile> m_Log;
};

TEST_F(LogFileTest, InitialValues) {
  const TqxLogFile log;
  EXPECT_EQ(log.SizeLimit(), 20480u);
  EXPECT_EQ(log.FileName(), QStringLiteral("qxcommlib.log"));
  EXPECT_EQ(log.DetailLevel(), dlSimple);
  EXPECT_EQ(log.Options().Bits(), 0x5B);
  EXPECT_EQ(log.VisualOut(), nullptr);
  EXPECT_FALSE(log.Busy());
  EXPECT_TRUE(log.PendingText().isEmpty());
}

TEST_F(LogFileTest, PropertiesAreSettableByName) {
  EXPECT_TRUE(m_Log->setProperty("SizeLimit", QVariant::fromValue<std::uint32_t>(77)));
  EXPECT_TRUE(m_Log->setProperty("FileName", QStringLiteral(" \t/tmp/y.log\r\n")));
  EXPECT_TRUE(m_Log->setProperty("Options", QVariant::fromValue(TLogOptions{loMSec})));
  EXPECT_EQ(m_Log->SizeLimit(), 77u);
  EXPECT_EQ(m_Log->FileName(), QStringLiteral("/tmp/y.log"));
  EXPECT_EQ(m_Log->Options(), TLogOptions{loMSec});
}

struct StampCase {
  TLogOptions options;
  int msec;
  const char* entry;
};

TEST_F(LogFileTest, EntryShapesFollowTheStampOptions) {
  const StampCase cases[] = {
      {{}, 45, "\r\ntext"},
      {{loDate}, 45, "\r\n[06.12.26] text"},
      {{loTime}, 45, "\r\n[23:51:02] text"},
      {{loDate, loTime}, 45, "\r\n[06.12.26 23:51:02] text"},
      {{loDate, loTime, loMSec}, 45, "\r\n[06.12.26 23:51:02 +045] text"},
      {{loMSec}, 45, "\r\n[+045] text"},
      {{loTime, loMSec}, 7, "\r\n[23:51:02 +007] text"},
      {{loMSec}, 0, "\r\n[+000] text"},
  };
  PassBanner();
  for (const StampCase& c : cases) {
    m_Log->SetOptions(c.options);
    m_Now = QDateTime(FixedNow.date(), QTime(23, 51, 2, c.msec));
    EXPECT_EQ(Entry(QStringLiteral("text")), QByteArray(c.entry)) << "options " << int(c.options.Bits());
  }
}

TEST_F(LogFileTest, StampFollowsTheLocale) {
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  m_Log->SetOptions({loDate, loTime});
  PassBanner();
  const QLocale us;
  const QByteArray date = us.toString(FixedNow.date(), QLocale::ShortFormat).toLatin1();
  const QByteArray entry = Entry(QStringLiteral("x"));
  EXPECT_TRUE(entry.startsWith("\r\n[" + date + " 11:51:02")) << entry.constData();
  EXPECT_TRUE(entry.endsWith("PM] x")) << entry.constData();
}

TEST_F(LogFileTest, ControlBytesAreEscapedAndHighBytesPassThrough) {
  const struct {
    QByteArray text;
    QByteArray entry;
  } cases[] = {
      {"a\r\nb", "a\\0Dh\\0Ahb"},
      {"\t", "\\09h"},
      {QByteArray("x\0y", 3), "x\\00hy"},
      {"\x1b[0m", "\\1Bh[0m"},
      {"\x1f ", "\\1Fh "},
      {"\x7f\x80\xe9\xff", "\x7f\x80\xe9\xff"},
  };
  PassBanner();
  for (const auto& c : cases)
    EXPECT_EQ(Entry(QString::fromLatin1(c.text)), "\r\n" + c.entry) << c.entry.constData();
}

TEST_F(LogFileTest, BannerOncePerComponentAndPerWriteHeader) {
  m_Log->SetOptions({loTime});
  m_Log->Write(QStringLiteral("one"));
  m_Log->Write(QStringLiteral("two"));
  const QByteArray banner = "\r\n[23:51:02] " + Banner().toLatin1();
  EXPECT_EQ(m_Log->PendingText(), banner + "\r\n[23:51:02] one\r\n[23:51:02] two");

  m_Log->WriteHeader();
  m_Log->WriteHeader();
  EXPECT_EQ(m_Log->PendingText().count(banner), 3);

  TqxLogFile other;
  other.SetOptions({});
  other.SetFileName(Path(QStringLiteral("other.log")));
  // A first WriteHeader records the component's banner and the one it asked for.
  other.WriteHeader();
  EXPECT_EQ(other.PendingText(), "\r\n" + Banner().toLatin1() + "\r\n" + Banner().toLatin1());
}

TEST_F(LogFileTest, LevelFilter) {
  PassBanner();
  m_Log->SetDetailLevel(dlDetail);
  m_Log->WriteLevel(dlDebug, QStringLiteral("debug"));
  m_Log->WriteLevelFormat(dlDebug, QStringLiteral("%d"), {QStringLiteral("bad format, never evaluated")});
  EXPECT_TRUE(m_Log->PendingText().isEmpty());
  m_Log->WriteLevel(dlDetail, QStringLiteral("detail"));
  EXPECT_EQ(m_Log->PendingText(), "\r\ndetail");
  for (const TDetailLevel level : {dlSimple, dlDetail, dlDebug}) {
    m_Log->SetDetailLevel(level);
    EXPECT_EQ(Entry(QStringLiteral("simple")), "\r\nsimple");
  }
}

TEST_F(LogFileTest, WriteFormat) {
  PassBanner();
  m_Log->WriteFormat(QStringLiteral("%s +%0.3d"), {QStringLiteral("port"), 7});
  m_Log->WriteFormat(QStringLiteral("%d %d"), {1});
  m_Log->WriteFormat(QStringLiteral("%u"), {QStringLiteral("text")});
  m_Log->WriteLevelFormat(dlSimple, QStringLiteral("%x"), {255});
  EXPECT_EQ(m_Log->PendingText(), "\r\nport +007\r\nLog format ERROR!!!\r\nLog format ERROR!!!\r\nff");
}

TEST_F(LogFileTest, SafeModeAppendsEveryEntry) {
  m_Log->SetOptions({loSafeMode});
  m_Log->Write(QStringLiteral("one"));
  EXPECT_TRUE(m_Log->PendingText().isEmpty());
  EXPECT_EQ(ReadFile(Path()), "\r\n" + Banner().toLatin1() + "\r\none");
  m_Log->Write(QStringLiteral("two"));
  EXPECT_TRUE(ReadFile(Path()).endsWith("\r\none\r\ntwo"));
  m_Log.reset();
  EXPECT_TRUE(ReadFile(Path()).endsWith("\r\none\r\ntwo"));
}

TEST_F(LogFileTest, WithoutSafeModeEverythingIsWrittenAtDestruction) {
  WriteFile(Path(), "old");
  int reached = 0;
  m_Log->SetSizeLimit(0);
  m_Log->OnReachLimit = [&](QObject*) { ++reached; };
  m_Log->Write(QStringLiteral("one"));
  m_Log->Write(QStringLiteral("two"));
  EXPECT_EQ(ReadFile(Path()), "old");
  m_Log.reset();
  EXPECT_EQ(ReadFile(Path()), "old\r\n" + Banner().toLatin1() + "\r\none\r\ntwo");
  EXPECT_EQ(reached, 0);
}

TEST_F(LogFileTest, ClearDropsPendingTextAndTheFile) {
  m_Log->Write(QStringLiteral("one"));
  m_Log->Flush();
  ASSERT_TRUE(QFile::exists(Path()));
  m_Log->Write(QStringLiteral("two"));
  m_Log->Clear();
  EXPECT_TRUE(m_Log->PendingText().isEmpty());
  EXPECT_FALSE(QFile::exists(Path()));
  // The banner is not recorded again.
  EXPECT_EQ(Entry(QStringLiteral("three")), "\r\nthree");
}

struct LimitCase {
  const char* name;
  int oldSize;
  std::uint32_t limit;
  int entrySize;  // text length; the entry adds CR LF
  int fileSize;
  bool reached;
};

TEST_F(LogFileTest, SizeLimit) {
  const LimitCase cases[] = {
      {"below the limit", 50, 120, 20, 72, false},
      {"exactly at the limit", 98, 120, 20, 120, false},
      {"over the limit", 100, 120, 48, 120, true},
      {"at the limit already", 120, 120, 8, 120, true},
      {"oversized flush", 100, 50, 78, 80, true},
      {"oversized on an empty file", 0, 50, 78, 80, false},
      {"no limit", 5000, 0, 998, 6000, false},
  };
  PassBanner();
  m_Log->SetOptions({loSafeMode});
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.name);
    QByteArray old;
    for (int i = 0; i < c.oldSize; ++i) old += char('a' + i % 26);
    WriteFile(Path(), old);
    int reached = 0;
    m_Log->OnReachLimit = [&](QObject* sender) {
      EXPECT_EQ(sender, m_Log.get());
      ++reached;
    };
    m_Log->SetSizeLimit(c.limit);
    const QByteArray text(c.entrySize, 'N');
    m_Log->Write(QString::fromLatin1(text));
    const QByteArray file = ReadFile(Path());
    EXPECT_EQ(file.size(), c.fileSize);
    EXPECT_EQ(reached, c.reached ? 1 : 0);
    // The newest bytes of the old content survive, cut at a byte position.
    const QByteArray entry = "\r\n" + text;
    EXPECT_EQ(file, old.right(c.fileSize - entry.size()) + entry);
  }
}

TEST_F(LogFileTest, FileStaysAtTheLimitAndEveryFlushReachesItAgain) {
  PassBanner();
  m_Log->SetOptions({loSafeMode});
  m_Log->SetSizeLimit(64);
  int reached = 0;
  m_Log->OnReachLimit = [&](QObject*) { ++reached; };
  for (int i = 0; i < 20; ++i) m_Log->Write(QStringLiteral("entry %1").arg(i));
  const QByteArray file = ReadFile(Path());
  EXPECT_EQ(file.size(), 64);
  EXPECT_TRUE(file.endsWith("\r\nentry 18\r\nentry 19"));
  EXPECT_EQ(reached, 20 - 64 / 9);  // entries of 9 or 10 bytes: the first 7 fit
}

TEST_F(LogFileTest, EntriesWrittenDuringAFlushStayPending) {
  PassBanner();
  m_Log->SetOptions({loSafeMode});
  m_Log->SetSizeLimit(10);
  WriteFile(Path(), "0123456789");
  m_Log->OnReachLimit = [&](QObject*) { m_Log->Write(QStringLiteral("limit")); };
  m_Log->Write(QStringLiteral("a"));
  EXPECT_EQ(ReadFile(Path()), "3456789\r\na");
  EXPECT_EQ(m_Log->PendingText(), "\r\nlimit");
  m_Log->OnReachLimit = nullptr;
  m_Log->Write(QStringLiteral("b"));
  EXPECT_EQ(ReadFile(Path()), "\r\nlimit\r\nb");
  EXPECT_TRUE(m_Log->PendingText().isEmpty());
}

TEST_F(LogFileTest, FileNameResolution) {
  const QString executable = QCoreApplication::applicationFilePath();
  const QString folder = QFileInfo(executable).absolutePath() + u'/';
  const struct {
    QString fileName;
    QString resolved;
  } cases[] = {
      {QStringLiteral("x.log"), folder + QStringLiteral("x.log")},
      {QStringLiteral("/x.log"), folder + QStringLiteral("x.log")},
      {QStringLiteral("  x.log\t\r\n"), folder + QStringLiteral("x.log")},
      {QStringLiteral("/var/logs/x.log"), QStringLiteral("/var/logs/x.log")},
      {QStringLiteral("./x.log"), QStringLiteral("./x.log")},
      {QString(), QString()},
      {QStringLiteral(" \x01 "), QString()},
  };
  for (const auto& c : cases) {
    m_Log->SetFileName(c.fileName);
    EXPECT_EQ(m_Log->ResolveFileName(), c.resolved) << qPrintable(c.fileName);
  }
  // The automatic name ignores FileName; this executable has no extension.
  m_Log->SetOptions({loAutoFileName});
  m_Log->SetFileName(QStringLiteral("/var/logs/x.log"));
  EXPECT_EQ(m_Log->ResolveFileName(), executable + QStringLiteral(".log"));
  EXPECT_EQ(TqxLogFile().ResolveFileName(), executable + QStringLiteral(".log"));
}

TEST_F(LogFileTest, NoFileNameKeepsEntriesInMemory) {
  m_Log->SetOptions({loSafeMode});
  m_Log->SetFileName(QString());
  m_Log->Write(QStringLiteral("one"));
  m_Log->Flush();
  EXPECT_TRUE(m_Log->PendingText().endsWith("\r\none"));
  m_Log->Clear();
  EXPECT_TRUE(QDir(m_Dir.path()).isEmpty());
}

TEST_F(LogFileTest, FailedWriteRaisesAndKeepsTheText) {
  const QString path = Path(QStringLiteral("missing/x.log"));
  m_Log->SetFileName(path);
  m_Log->SetOptions({loSafeMode});
  try {
    m_Log->Write(QStringLiteral("one"));
    FAIL() << "no exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), QStringLiteral("Error when save log file:") + path);
  }
  EXPECT_FALSE(m_Log->Busy());
  EXPECT_TRUE(m_Log->PendingText().endsWith("\r\none"));
  m_Log->SetFileName(QString());
}

TEST_F(LogFileTest, DecliningHandlerLosesNothing) {
  const QString path = Path(QStringLiteral("missing/x.log"));
  m_Log->SetFileName(path);
  m_Log->SetOptions({loSafeMode});
  QStringList failures;
  m_Log->OnFatalError = [&](QObject* sender, std::uint32_t code, std::uint32_t detail, const QString& message,
                            bool& raise) {
    EXPECT_EQ(sender, m_Log.get());
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(detail, 0u);
    failures.append(message);
    raise = false;
  };
  m_Log->Write(QStringLiteral("one"));
  m_Log->Write(QStringLiteral("two"));
  EXPECT_EQ(failures.size(), 2);
  EXPECT_EQ(failures.value(0), QStringLiteral("Error when save log file:") + path);
  ASSERT_TRUE(QDir(m_Dir.path()).mkdir(QStringLiteral("missing")));
  m_Log->Write(QStringLiteral("three"));
  EXPECT_EQ(ReadFile(path), "\r\n" + Banner().toLatin1() + "\r\none\r\ntwo\r\nthree");
  EXPECT_TRUE(m_Log->PendingText().isEmpty());
}

TEST_F(LogFileTest, ReadOnlyFolder) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  ASSERT_TRUE(QFile::setPermissions(m_Dir.path(), QFile::ReadOwner | QFile::ExeOwner));
  int failures = 0;
  m_Log->OnFatalError = [&](QObject*, std::uint32_t, std::uint32_t, const QString&, bool& raise) {
    ++failures;
    raise = false;
  };
  m_Log->SetOptions({loSafeMode});
  m_Log->Write(QStringLiteral("one"));
  EXPECT_EQ(failures, 1);
  QFile::setPermissions(m_Dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  m_Log->Write(QStringLiteral("two"));
  EXPECT_TRUE(ReadFile(Path()).endsWith("\r\none\r\ntwo"));
}

TEST_F(LogFileTest, SafeModeRetriesFailedTextAtDestruction) {
  const QString path = Path(QStringLiteral("missing/x.log"));
  m_Log->SetFileName(path);
  m_Log->SetOptions({loSafeMode});
  m_Log->OnFatalError = [](QObject*, std::uint32_t, std::uint32_t, const QString&, bool& raise) { raise = false; };
  m_Log->Write(QStringLiteral("one"));
  ASSERT_TRUE(QDir(m_Dir.path()).mkdir(QStringLiteral("missing")));
  m_Log.reset();
  EXPECT_TRUE(ReadFile(path).endsWith("\r\none"));
}

TEST_F(LogFileTest, FailureAtDestructionIsShownNotThrown) {
  MessageRecorder recorder;
  const QString path = Path(QStringLiteral("missing/x.log"));
  m_Log->SetFileName(path);
  m_Log->Write(QStringLiteral("one"));
  m_Log.reset();
  ASSERT_EQ(recorder.messages.size(), 1);
  EXPECT_EQ(recorder.messages[0].text, QStringLiteral("Error when save log file:") + path);
}

// The mirror: a visible text edit with a fixed size, so that it scrolls.
class LogMirrorTest : public LogFileTest {
protected:
  void Fill(int entries) {
    for (int i = 0; i < entries; ++i) m_Log->Write(QStringLiteral("entry %1").arg(i));
  }
};

TEST_F(LogMirrorTest, MirrorShowsTheControlsTextFollowedByEachEntry) {
  QPlainTextEdit plain(QStringLiteral("before"));
  QTextEdit rich;
  rich.setPlainText(QStringLiteral("rich"));
  m_Log->SetVisualOut(&plain);
  m_Log->Write(QStringLiteral("one\ttab"));
  m_Log->SetVisualOut(&rich);
  m_Log->Write(QStringLiteral("two"));
  EXPECT_EQ(plain.toPlainText(), QStringLiteral("before\n") + Banner() + QStringLiteral("\none\\09htab"));
  EXPECT_EQ(rich.toPlainText(), QStringLiteral("rich\ntwo"));
  EXPECT_FALSE(plain.document()->isUndoAvailable());
}

TEST_F(LogMirrorTest, ReaderAtTheBottomFollowsAndScrolledUpStays) {
  for (const bool plainEdit : {true, false}) {
    SCOPED_TRACE(plainEdit ? "QPlainTextEdit" : "QTextEdit");
    std::unique_ptr<QAbstractScrollArea> edit;
    if (plainEdit) edit = std::make_unique<QPlainTextEdit>();
    else edit = std::make_unique<QTextEdit>();
    edit->resize(300, 120);
    edit->show();
    m_Log->SetVisualOut(edit.get());
    Fill(100);
    QCoreApplication::processEvents();
    QScrollBar* bar = edit->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    const int before = bar->maximum();
    Fill(10);
    QCoreApplication::processEvents();
    EXPECT_GT(bar->maximum(), before);
    EXPECT_EQ(bar->value(), bar->maximum());

    bar->setValue(5);
    Fill(10);
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->value(), 5);
  }
}

TEST_F(LogMirrorTest, DestroyedControlIsForgotten) {
  auto edit = std::make_unique<QPlainTextEdit>();
  m_Log->SetVisualOut(edit.get());
  EXPECT_TRUE(m_Log->setProperty("VisualOut", QVariant::fromValue<QWidget*>(edit.get())));
  edit.reset();
  EXPECT_EQ(m_Log->VisualOut(), nullptr);
  m_Log->Write(QStringLiteral("after"));
  EXPECT_TRUE(m_Log->PendingText().endsWith("\r\nafter"));
}

// The writer helper is a separate program, so that two processes share one file.
QString WriterProgram() { return QStringLiteral(QXLOGFILE_WRITER); }

QByteArray RunWriter(const QStringList& arguments, QByteArray* errorOutput = nullptr) {
  QProcess process;
  process.start(WriterProgram(), arguments);
  EXPECT_TRUE(process.waitForFinished(60000));
  EXPECT_EQ(process.exitCode(), 0);
  if (errorOutput) *errorOutput = process.readAllStandardError();
  return process.readAllStandardOutput();
}

TEST_F(LogFileTest, AutomaticNameReplacesTheExtension) {
  const QString program = WriterProgram();
  ASSERT_TRUE(program.endsWith(QStringLiteral(".bin")));
  const QByteArray resolved = RunWriter({QStringLiteral("resolve")});
  EXPECT_EQ(QString::fromLocal8Bit(resolved), program.chopped(4) + QStringLiteral(".log"));
}

TEST_F(LogFileTest, AutomaticFileOfAProgramInAFolderItMayNotWriteGoesToTheStateFolder) {
  // The program is copied into a folder nobody may write to; root writes anywhere, so then it runs
  // as the user nobody.
  const QString folder = Path(QStringLiteral("installed"));
  const QString state = Path(QStringLiteral("state"));
  ASSERT_TRUE(QDir().mkpath(folder));
  ASSERT_TRUE(QDir().mkpath(state));
  const QString program = folder + QStringLiteral("/qxterm.bin");
  ASSERT_TRUE(QFile::copy(WriterProgram(), program));
  ASSERT_TRUE(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
  ASSERT_EQ(chmod(QFile::encodeName(folder).constData(), 0555), 0);
  ASSERT_EQ(chmod(QFile::encodeName(state).constData(), 0777), 0);
  ASSERT_EQ(chmod(QFile::encodeName(m_Dir.path()).constData(), 0755), 0);
  QStringList command{program, QStringLiteral("auto"), QStringLiteral("hello")};
  if (geteuid() == 0)
    command = QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                          QStringLiteral("--clear-groups")} + command;
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("XDG_STATE_HOME"), state);
  process.setProcessEnvironment(environment);
  process.start(command.takeFirst(), command);
  ASSERT_TRUE(process.waitForFinished(60000));
  ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().constData();

  const QString log = state + QStringLiteral("/qxcomm/qxterm.log");
  const QByteArray content = ReadFile(log);
  EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/qxterm.log")));
  // The banner, then the entry, then where the log is.
  EXPECT_EQ(content, QByteArray("\r\n") + Banner().toLatin1() + "\r\nhello\r\nThe log file is " + QFile::encodeName(log) +
                         ": the program's folder " + QFile::encodeName(folder) + " is not writable");
  chmod(QFile::encodeName(folder).constData(), 0755);
}

TEST_F(LogFileTest, DebugOutputGetsTheEntryWithoutLineBreak) {
  QByteArray errors;
  RunWriter({QStringLiteral("debugout"), Path(), QStringLiteral("hello\r\n")}, &errors);
  EXPECT_TRUE(errors.contains("hello\\0Dh\\0Ah")) << errors.constData();
  EXPECT_TRUE(errors.contains("qxComm Lib v8.00 ")) << errors.constData();
  EXPECT_FALSE(errors.contains("\r")) << errors.constData();
}

TEST_F(LogFileTest, TwoProcessesShareOneFileWithoutCorruption) {
  constexpr int Entries = 3000;
  QProcess first;
  QProcess second;
  const QStringList arguments{QStringLiteral("append"), Path(), QString(), QString::number(Entries)};
  QStringList a = arguments;
  QStringList b = arguments;
  a[2] = QStringLiteral("A");
  b[2] = QStringLiteral("B");
  first.start(WriterProgram(), a);
  second.start(WriterProgram(), b);
  ASSERT_TRUE(first.waitForFinished(120000));
  ASSERT_TRUE(second.waitForFinished(120000));
  EXPECT_EQ(first.exitCode(), 0) << first.readAllStandardError().constData();
  EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().constData();

  const QByteArray file = ReadFile(Path());
  ASSERT_TRUE(file.startsWith("\r\n"));
  const QList<QByteArray> lines = file.mid(2).split('\n');
  int next[2] = {0, 0};
  int banners = 0;
  for (QByteArray line : lines) {
    if (line.endsWith('\r')) line.chop(1);
    if (line.startsWith("qxComm Lib v8.00 ")) {
      ++banners;
      continue;
    }
    const int writer = line.startsWith("A ") ? 0 : line.startsWith("B ") ? 1 : -1;
    ASSERT_NE(writer, -1) << line.constData();
    // Each writer's entries arrive whole and in order.
    EXPECT_EQ(line, line.left(2) + "entry " + QByteArray::number(next[writer]) + ' ' + QByteArray(40, 'x'));
    ++next[writer];
  }
  EXPECT_EQ(banners, 2);
  EXPECT_EQ(next[0], Entries);
  EXPECT_EQ(next[1], Entries);
}

}  // namespace
