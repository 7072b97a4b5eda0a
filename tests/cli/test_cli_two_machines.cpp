// The two-machine chain on loopback, shorter than the demo: two `lentora
// capture` processes record the virtual rig in step, `sync-grab` matches their
// frames, `detect` marks the grids and `stereo` calibrates the rig, which must
// agree with the virtual truth. Then the same recording with lost heartbeats
// and a late start command: matched within a frame period, or refused clearly.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

QJsonObject ParseObject(const std::string& text) { return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object(); }

class TwoMachineChain : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("lentora_two_machines_" + std::to_string(::getpid()));
    fs::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  std::string File(const std::string& name) const { return (folder_ / name).string(); }

  Outcome Shell(const std::string& command) const {
    const fs::path out = folder_ / "stdout.txt", err = folder_ / "stderr.txt";
    const int raw = std::system(("{ " + command + "; } >'" + out.string() + "' 2>'" + err.string() + "'").c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadAll(out), ReadAll(err)};
  }

  std::string Lentora() const { return std::string("'") + LENTORA_EXECUTABLE + "'"; }

  // Client first, then the server for `seconds`; both on 127.0.0.1.
  Outcome Record(double seconds, const std::string& environment) const {
    const int serverPort = 40000 + static_cast<int>(::getpid() % 10000) * 2, clientPort = serverPort + 1;
    std::ostringstream command;
    command << environment << " " << Lentora() << " capture --device virtual-right --seconds 1 --out '" << File("client.avi")
            << "' --sync client --local-port " << clientPort << " --peer-port " << serverPort
            << " --timeout 60 >'" << File("client.txt") << "' 2>&1 & client=$!; sleep 1; " << environment << " "
            << Lentora() << " capture --device virtual-left --seconds " << seconds << " --out '" << File("server.avi")
            << "' --sync server --local-port " << serverPort << " --peer-port " << clientPort << "; status=$?; wait $client"
            << " && exit $status";
    return Shell(command.str());
  }

  std::string SyncGrab(const std::string& frames, const std::string& more) const {
    return Lentora() + " sync-grab '" + File("server.avi") + "' '" + File("serverSync.txt") + "' '" + File("client.avi") +
           "' '" + File("clientSync.txt") + "' --frames " + frames + " --out '" + File("rig/pairs.txt") + "' " + more;
  }

  int LogLines(const std::string& name) const {
    std::ifstream in(File(name));
    int lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
  }

  fs::path folder_;
};

// Frames spread over the middle of a log of `lines` frames.
std::string Spread(int lines, int count) {
  std::string list;
  for (int i = 0; i < count; ++i)
    list += (i ? "," : "") + std::to_string(static_cast<int>(lines * (0.1 + 0.8 * i / (count - 1))));
  return list;
}

double AngleBetween(const QJsonArray& a, const QJsonArray& b) {
  double trace = 0.0;  // of a^T b
  for (int k = 0; k < 9; ++k) trace += a[k].toDouble() * b[k].toDouble();
  return std::acos(std::clamp((trace - 1.0) / 2.0, -1.0, 1.0)) * 180.0 / 3.14159265358979;
}

double Norm(const QJsonArray& v) { return std::hypot(v[0].toDouble(), v[1].toDouble(), v[2].toDouble()); }

}  // namespace

TEST_F(TwoMachineChain, RecordsMatchesAndCalibratesTheVirtualRig) {
  const Outcome recorded = Record(5.0, "");
  ASSERT_EQ(recorded.status, 0) << recorded.out << recorded.err << ReadAll(File("client.txt"));
  // The client ran from the server's start to its stop, whatever its own --seconds said.
  const int serverLines = LogLines("serverSync.txt"), clientLines = LogLines("clientSync.txt");
  EXPECT_GT(serverLines, 25);  // a busy machine drops frames; the matched ones still agree
  EXPECT_GT(clientLines, serverLines / 2);
  ASSERT_TRUE(fs::exists(File("server.avi.truth.json")) && fs::exists(File("client.avi.truth.json")));
  // The virtual devices number their frames, so both ends know their drops.
  EXPECT_NE(recorded.out.find(" dropped) in "), std::string::npos) << recorded.out;
  EXPECT_EQ(recorded.out.find("n/a dropped"), std::string::npos) << recorded.out;
  EXPECT_EQ(ReadAll(File("client.txt")).find("n/a dropped"), std::string::npos) << ReadAll(File("client.txt"));

  const Outcome grabbed = Shell(SyncGrab(Spread(serverLines, std::min(serverLines * 4 / 5, 40)), "--tolerance 11 --skip-unmatched --json"));
  ASSERT_EQ(grabbed.status, 0) << grabbed.err;
  const QJsonObject pairs = ParseObject(grabbed.out);
  const double period = pairs["framePeriod"].toDouble();
  EXPECT_GE(period, 1000.0 / 30.0 - 3.0);  // a multiple of it on a machine too busy for every frame
  ASSERT_GE(pairs["pairs"].toArray().size(), 6) << grabbed.out;
  for (const auto& pair : pairs["pairs"].toArray()) EXPECT_LE(std::fabs(pair.toObject()["tickDifference"].toDouble()), 11.0);

  const Outcome detected = Shell(Lentora() + " detect '" + File("rig/pairs.txt") + "' --save '" + File("rig/rig.txt") + "'");
  ASSERT_EQ(detected.status, 0) << detected.err;
  const Outcome stereo = Shell(Lentora() + " stereo '" + File("rig/rig.txt") + "' --json");
  ASSERT_EQ(stereo.status, 0) << stereo.err << detected.out;
  const QJsonObject rig = ParseObject(stereo.out);
  const QJsonObject truth = ParseObject(ReadAll(File("server.avi.truth.json")))["rig"].toObject();
  const QJsonObject camera = ParseObject(ReadAll(File("client.avi.truth.json")))["camera"].toObject();
  // Fewer pairs than the demo's, so looser than its limits.
  EXPECT_NEAR(Norm(rig["T"].toArray()) / Norm(truth["T"].toArray()), 1.0, 0.01) << stereo.out;
  EXPECT_LT(AngleBetween(rig["R"].toArray(), truth["R"].toArray()), 0.3) << stereo.out;
  for (const char* side : {"first", "second"}) {
    const QJsonArray K = rig["intrinsics"].toObject()[side].toObject()["K"].toArray();
    EXPECT_NEAR(K[0].toDouble() / camera["fx"].toDouble(), 1.0, 0.01) << side;
    EXPECT_NEAR(K[4].toDouble() / camera["fy"].toDouble(), 1.0, 0.01) << side;
  }
}

TEST_F(TwoMachineChain, LostHeartbeatsAndALateStartMatchWithinAFrameOrSaySo) {
  const Outcome recorded = Record(3.0, "LENTORA_SYNC_FAULTS=drop-heartbeats,delay-start=300");
  ASSERT_EQ(recorded.status, 0) << recorded.out << recorded.err;
  const int serverLines = LogLines("serverSync.txt");
  ASSERT_GT(serverLines, 15);
  // About one heartbeat in two went out.
  const size_t end = recorded.out.find(" heartbeats sent");
  ASSERT_NE(end, std::string::npos) << recorded.out;
  const size_t begin = recorded.out.rfind(' ', end - 1) + 1;
  const int heartbeats = std::atoi(recorded.out.substr(begin, end - begin).c_str());
  EXPECT_GT(heartbeats, 8);
  EXPECT_LT(heartbeats, 22);

  // The first server frames come from before the client started: refused by name.
  const Outcome early = Shell(SyncGrab("1," + Spread(serverLines, 5), "--json"));
  EXPECT_EQ(early.status, 1);
  EXPECT_NE(early.err.find("no client frame within"), std::string::npos) << early.err;
  EXPECT_FALSE(fs::exists(File("rig/pairs.txt")));

  const Outcome later = Shell(SyncGrab(Spread(serverLines, 8), "--json --skip-unmatched --grid 9x6 --square 30"));
  ASSERT_EQ(later.status, 0) << later.err;
  const QJsonObject pairs = ParseObject(later.out);
  EXPECT_GE(pairs["pairs"].toArray().size(), 1);
  for (const auto& pair : pairs["pairs"].toArray())
    EXPECT_LE(std::fabs(pair.toObject()["tickDifference"].toDouble()), pairs["framePeriod"].toDouble());
  for (const auto& skipped : pairs["skipped"].toArray())
    EXPECT_FALSE(skipped.toObject()["reason"].toString().isEmpty());
}
