// Guidance on two machines capturing in step: each machine's preview counts a
// frame only while the other machine sees the board too, and the server's
// automatic capture stores a pair, its frame and the client's frame of the
// same moment, in both workspaces under one number, or stores nothing.
// The two machines are two guidance objects here, their link a queued call.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>
#include <cmath>
#include <memory>

#include "core/CalibrationData.h"
#include "support/GuidanceViews.h"
#include "synth/BoardRenderer.h"
#include "ui/LiveGuidance.h"
#include "ui/EventPump.h"
#include "ui/UiTestSupport.h"

namespace {

using namespace guidance_views;

// The client camera sits 120 mm to the right of the server's.
SyntheticPose RightOf(const SyntheticPose& pose) {
  return PoseFromVectors(pose.r, {pose.t[0] - 120.0, pose.t[1], pose.t[2]});
}

// Poses whose boards both cameras see whole, far apart in the four measures.
std::vector<SyntheticPose> SeenByBoth() {
  std::vector<SyntheticPose> poses;
  for (const SyntheticPose& pose : SpreadPoses(40)) {
    bool inside = true;
    for (const SyntheticPose& seen : {pose, RightOf(pose)})
      for (const ImagePoint& p : ProjectGrid(Camera(), seen, kGrid))
        inside = inside && p.x > 15 && p.y > 15 && p.x < 625 && p.y < 465;
    if (inside) poses.push_back(pose);
  }
  return poses;
}

cv::Mat Render(const SyntheticPose& pose) { return RenderBoard(Camera(), pose, kGrid); }
const cv::Mat& Blank() {
  static const cv::Mat blank(480, 640, CV_8UC3, cv::Scalar(90, 90, 90));
  return blank;
}

double MeanDistance(const PointList& found, const PointList& truth) {
  double sum = 0.0;
  for (size_t i = 0; i < found.size() && i < truth.size(); ++i)
    sum += std::hypot(found[i].x - truth[i].x, found[i].y - truth[i].y);
  return found.empty() ? 1e9 : sum / static_cast<double>(found.size());
}

struct Machine {
  CCalibrationData store;
  SourceSettings settings;
  std::unique_ptr<CLiveGuidance> guidance;
  LiveLinkRole role = LiveLinkRole::kNone;
  int sent = 0;
};

class TwoMachineGuidance : public ::testing::Test, public WithApplication {
 protected:
  void SetUp() override {
    saved = CurrentLiveGuidanceOptions();
    LiveGuidanceOptions options;
    options.autoCapture = true;
    SetLiveGuidanceOptions(options);
    server.role = LiveLinkRole::kServer;
    client.role = LiveLinkRole::kClient;
    Join(server, client);
    Join(client, server);
  }
  void TearDown() override { SetLiveGuidanceOptions(saved); }

  void Join(Machine& machine, Machine& peer) {
    machine.store.AddCamera();
    machine.store.SetGrid(0, kGrid);
    machine.settings.subViewCamera[0] = 0;
    CLiveGuidance::Hooks hooks;
    hooks.store = [&machine] { return &machine.store; };
    hooks.settings = [&machine] { return machine.settings; };
    machine.guidance = std::make_unique<CLiveGuidance>(hooks);
    machine.guidance->SetPacing({0.0, 0.0});
    machine.guidance->SetPeerReportMaxAge(600000);  // a busy machine's searches may lie far apart
    machine.guidance->SetLink([&machine] { return machine.role; },
                              [this, &machine, &peer](const SyncDatagram& datagram) {
                                ++machine.sent;
                                if (linkUp)
                                  QTimer::singleShot(0, peer.guidance.get(),
                                                     [&peer, datagram] { peer.guidance->OnPeerDatagram(datagram); });
                                return true;
                              });
  }

  // The machine searches the frame; then the link settles (a pair asked for is stored or refused).
  void Search(Machine& machine, const cv::Mat& frame, uint32_t tick) {
    const int finished = machine.guidance->SearchesFinished();
    ASSERT_FALSE(machine.guidance->Searching());
    machine.guidance->OfferFrame(frame, tick);
    ASSERT_TRUE(PumpUntil([&] { return machine.guidance->SearchesFinished() > finished && !machine.guidance->Searching(); }));
    ASSERT_TRUE(PumpUntil([&] { return !server.guidance->PairPending() && !client.guidance->Searching(); }));
    QCoreApplication::processEvents();
  }

  LiveGuidanceOptions saved;
  bool linkUp = true;
  Machine server, client;
};

}  // namespace

TEST_F(TwoMachineGuidance, AFrameCountsOnlyWhileTheOtherMachineSeesTheBoard) {
  const std::vector<SyntheticPose> poses = SeenByBoth();
  ASSERT_GE(poses.size(), 2u);
  const SyntheticPose a = poses[0];

  // The client's camera sees no board: the server's board counts for nothing.
  Search(client, Blank(), 1000);
  Search(server, Render(a), 1000);
  EXPECT_TRUE(server.guidance->Shown().peerMissing);
  EXPECT_FALSE(server.guidance->Shown().addsCoverage);
  EXPECT_EQ(server.guidance->Shown().outlines.size(), 1u) << "its own board is still drawn";
  EXPECT_EQ(server.store.GetViewCount(0), 0);
  EXPECT_EQ(client.store.GetViewCount(0), 0);

  // Both see it: the client's bars count its board, yet it never captures on its own.
  Search(client, Render(RightOf(a)), 1100);
  EXPECT_FALSE(client.guidance->Shown().peerMissing);
  EXPECT_TRUE(client.guidance->Shown().addsCoverage);
  EXPECT_EQ(client.store.GetViewCount(0), 0);
  // The server's camera loses it: the client's board counts for nothing.
  Search(server, Blank(), 1200);
  Search(client, Render(RightOf(a)), 1300);
  EXPECT_TRUE(client.guidance->Shown().peerMissing);
  EXPECT_FALSE(client.guidance->Shown().addsCoverage);
  EXPECT_EQ(client.store.GetViewCount(0), 0);

  // Both see it and the server captures: one pair, the client's half from its
  // frame of the server's moment.
  Search(client, Render(RightOf(a)), 1400);
  Search(server, Render(a), 1400);
  ASSERT_EQ(server.store.GetViewCount(0), 1);
  ASSERT_EQ(client.store.GetViewCount(0), 1);
  EXPECT_EQ(server.guidance->PairsAsked(), 1);
  const PointList left = UsablePointLists(server.store, 0).at(0), right = UsablePointLists(client.store, 0).at(0);
  EXPECT_LT(MeanDistance(left, ProjectGrid(Camera(), a, kGrid)), 0.3);
  EXPECT_LT(MeanDistance(right, ProjectGrid(Camera(), RightOf(a), kGrid)), 0.3);

  // The same boards again add nothing.
  Search(client, Render(RightOf(a)), 1500);
  Search(server, Render(a), 1500);
  EXPECT_EQ(server.store.GetViewCount(0), 1);
  EXPECT_EQ(client.store.GetViewCount(0), 1);
  EXPECT_EQ(server.guidance->PairsAsked(), 1);
}

TEST_F(TwoMachineGuidance, TheClientStoresItsFrameOfTheServersMoment) {
  const std::vector<SyntheticPose> poses = SeenByBoth();
  ASSERT_GE(poses.size(), 3u);
  const SyntheticPose before = poses[1], moment = poses[2];
  // The client's frames arrive one after another; it searches the first alone
  // (the later ones come while it searches) and keeps them all.
  client.guidance->SetPacing({60000.0, 0.0});
  client.guidance->OfferFrame(Render(RightOf(before)), 2000);
  client.guidance->OfferFrame(Render(RightOf(moment)), 2100);
  client.guidance->OfferFrame(Render(RightOf(before)), 2200);
  ASSERT_TRUE(PumpUntil([&] { return client.guidance->SearchesFinished() == 1; }));
  QCoreApplication::processEvents();

  Search(server, Render(moment), 2100);
  ASSERT_EQ(server.store.GetViewCount(0), 1);
  ASSERT_EQ(client.store.GetViewCount(0), 1);
  const PointList right = UsablePointLists(client.store, 0).at(0);
  EXPECT_LT(MeanDistance(right, ProjectGrid(Camera(), RightOf(moment), kGrid)), 0.3);
  EXPECT_GT(MeanDistance(right, ProjectGrid(Camera(), RightOf(before), kGrid)), 5.0);

  // A moment the client holds no frame of (long after its last): refused, nothing stored.
  Search(server, Render(poses[0]), 2200 + 900);
  EXPECT_EQ(server.guidance->PairsAsked(), 2);
  EXPECT_EQ(server.guidance->PairsRefused(), 1);
  EXPECT_EQ(server.store.GetViewCount(0), 1);
  EXPECT_EQ(client.store.GetViewCount(0), 1);
}

// A busy client loses frames: the frame next to the lost one is of another
// moment, however long the steps between the frames it kept.
TEST_F(TwoMachineGuidance, AFrameOfTheNextMomentDoesNotStandInForALostOne) {
  const std::vector<SyntheticPose> poses = SeenByBoth();
  ASSERT_GE(poses.size(), 4u);
  const uint32_t start = 5000, period = 150;
  client.guidance->SetPacing({60000.0, 0.0});  // it searches the first frame alone
  const std::vector<std::pair<uint32_t, SyntheticPose>> kept{{0, poses[0]}, {1, poses[0]}, {4, poses[1]}, {6, poses[2]}};
  for (const auto& [slot, pose] : kept) client.guidance->OfferFrame(Render(RightOf(pose)), start + slot * period);
  ASSERT_TRUE(PumpUntil([&] { return client.guidance->SearchesFinished() == 1; }));
  QCoreApplication::processEvents();

  // The server's frame of a moment the client lost: refused, nothing stored.
  Search(server, Render(poses[3]), start + 5 * period);
  EXPECT_EQ(server.guidance->PairsAsked(), 1);
  EXPECT_EQ(server.guidance->PairsRefused(), 1);
  EXPECT_EQ(server.store.GetViewCount(0), 0);
  EXPECT_EQ(client.store.GetViewCount(0), 0);

  // A moment the client kept: the pair is taken, the client's half of that moment.
  Search(server, Render(poses[1]), start + 4 * period);
  ASSERT_EQ(server.store.GetViewCount(0), 1);
  ASSERT_EQ(client.store.GetViewCount(0), 1);
  EXPECT_LT(MeanDistance(UsablePointLists(client.store, 0).at(0), ProjectGrid(Camera(), RightOf(poses[1]), kGrid)), 0.3);
}

TEST_F(TwoMachineGuidance, ViewsOutOfStepTakeNoPairAndSaySo) {
  const std::vector<SyntheticPose> poses = SeenByBoth();
  ASSERT_GE(poses.size(), 1u);
  // A view captured by hand on the client alone.
  ASSERT_TRUE(client.store.AddViewFromFrame(0, Blank().clone()));
  Search(client, Render(RightOf(poses[0])), 3000);
  Search(server, Render(poses[0]), 3000);
  EXPECT_EQ(server.store.GetViewCount(0), 0);
  EXPECT_EQ(client.store.GetViewCount(0), 1);
  EXPECT_EQ(server.guidance->PairsRefused(), 1);
  Search(server, Render(poses[0]), 3100);
  EXPECT_EQ(server.guidance->Shown().pairNote,
            "Views out of step with the other machine (0 here, 1 there): no pairs are taken");
}

TEST_F(TwoMachineGuidance, ASilentOtherMachineCountsAsNotSeeingTheBoard) {
  linkUp = false;
  const std::vector<SyntheticPose> poses = SeenByBoth();
  ASSERT_GE(poses.size(), 1u);
  Search(client, Render(RightOf(poses[0])), 4000);
  Search(server, Render(poses[0]), 4000);
  EXPECT_TRUE(server.guidance->Shown().peerMissing);
  EXPECT_FALSE(server.guidance->Shown().addsCoverage);
  EXPECT_EQ(server.store.GetViewCount(0), 0);
  EXPECT_GT(server.sent, 0) << "it reports its own board all the same";
  // Without a link the same frame is a view at once, as for any single camera.
  server.role = LiveLinkRole::kNone;
  Search(server, Render(poses[0]), 4100);
  EXPECT_EQ(server.store.GetViewCount(0), 1);
}

// A busy server searches its frame for seconds before it asks for the pair:
// the client still holds its frame of that moment.
TEST_F(TwoMachineGuidance, TheClientStillHoldsTheMomentABusyServerAsksForSecondsLater) {
  const std::vector<SyntheticPose> poses = SeenByBoth();
  ASSERT_GE(poses.size(), 2u);
  const uint32_t start = 8000;
  client.guidance->SetPacing({60000.0, 0.0});  // it searches the first frame alone
  client.guidance->OfferFrame(Render(RightOf(poses[1])), start);
  const cv::Mat later = Render(RightOf(poses[0]));
  for (uint32_t tick = start + 100; tick <= start + 2500; tick += 100) client.guidance->OfferFrame(later, tick);
  ASSERT_TRUE(PumpUntil([&] { return client.guidance->SearchesFinished() == 1; }));
  QCoreApplication::processEvents();

  Search(server, Render(poses[1]), start);
  ASSERT_EQ(server.store.GetViewCount(0), 1);
  ASSERT_EQ(client.store.GetViewCount(0), 1);
  const PointList right = UsablePointLists(client.store, 0).at(0);
  EXPECT_LT(MeanDistance(right, ProjectGrid(Camera(), RightOf(poses[1]), kGrid)), 0.3);
}

// A client whose search of the asked frame ends after the server has given
// the pair up stores nothing, so the two stay in step for the next pair.
TEST_F(TwoMachineGuidance, AHalfTheServerHasGivenUpOnIsNotStored) {
  const std::vector<SyntheticPose> poses = SeenByBoth();
  ASSERT_GE(poses.size(), 2u);
  client.guidance->SetPairWait(0);  // every answer comes too late
  Search(client, Render(RightOf(poses[0])), 3000);
  Search(server, Render(poses[0]), 3000);
  EXPECT_EQ(server.guidance->PairsAsked(), 1);
  EXPECT_EQ(client.guidance->PairsRefused(), 1);
  EXPECT_EQ(server.store.GetViewCount(0), 0);
  EXPECT_EQ(client.store.GetViewCount(0), 0);

  client.guidance->SetPairWait(CLiveGuidance::kPairWaitMs);
  Search(client, Render(RightOf(poses[1])), 3100);
  Search(server, Render(poses[1]), 3100);
  EXPECT_EQ(server.store.GetViewCount(0), 1);
  EXPECT_EQ(client.store.GetViewCount(0), 1);
}
