// How the lentora executable decides between the workbench and the headless
// commands. Run without a display, so the window itself never opens.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "UiTestSupport.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "support/TestPaths.h"

namespace {

struct ProcessResult {
  int exitCode;
  QString out;
  QString err;
};

ProcessResult Lentora(const QStringList& arguments) {
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) environment.remove(name);
  process.setProcessEnvironment(environment);
  process.start(TestLentoraExecutable(), arguments);
  process.waitForFinished(60000);
  return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

TEST(ProgramStart, WorkspaceArgumentWithoutADisplayPrintsItsSummary) {
  TestApplication();
  if (!QFile::exists(TestLentoraExecutable())) GTEST_SKIP() << "lentora is not built";
  QTemporaryDir dir;
  CCalibrationData data;
  data.AddCamera();
  const QString index = dir.filePath("ws.txt");
  ASSERT_TRUE(SaveWorkspaceTo(data, index.toStdString()).ok);
  const ProcessResult run = Lentora({index});
  EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
  EXPECT_TRUE(run.out.contains("1 camera")) << run.out.toStdString();
}

TEST(ProgramStart, NoArgumentsWithoutADisplayPrintsUsage) {
  TestApplication();
  if (!QFile::exists(TestLentoraExecutable())) GTEST_SKIP() << "lentora is not built";
  const ProcessResult run = Lentora({});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_TRUE(run.err.contains("usage")) << run.err.toStdString();
  // A subcommand still wins over the workbench.
  EXPECT_EQ(Lentora({"info"}).exitCode, 2);
}

}  // namespace
