// Which plug-ins receive which dequeued events: interest words, and for some
// types the event's origin.
#include <gtest/gtest.h>

#include <cstring>

#include "events/Wants.h"
#include "plugin_events.hpp"

using namespace km::core;

namespace {

constexpr uint32_t kLive = DVR_INTEREST_LIVE;
constexpr uint32_t kCore = DVR_SOURCE_CORE;

LoadOut declaration(uint32_t idWord, uint32_t interest) {
  LoadOut out;
  std::memset(&out, 0, sizeof out);
  out.idWord = idWord;
  out.videoInterest = out.audioInterest = out.alarmInterest = out.ptzInterest = interest;
  out.serialInterest = out.logInterest = out.posInterest = out.analyticInterest = interest;
  return out;
}

EventParms event(uint32_t type, uint32_t source, uint32_t flags = DVR_FLAG_LIVE) {
  EventParms e = makeEventRecord(type, flags);
  e.source = source;
  return e;
}

EventParms outputFrame(uint32_t type, uint32_t source) {
  EventParms e = event(type, source);
  e.frameFlags = DVR_FRAME_FLAG_OUTPUT;
  return e;
}

class Wants : public ::testing::Test {
 protected:
  // Plug-in 5 (with sub-id bits in its id word), one without id, and two
  // whose plug-in id is 0.
  const LoadOut five = declaration(0x00050003, kLive);
  const LoadOut noId = declaration(kCore, kLive);
  const LoadOut idZero = declaration(0, kLive);
  const LoadOut idZeroSub = declaration(0x00001234, kLive);
  const LoadOut deaf = declaration(0x00060000, 0);
};

}  // namespace

TEST_F(Wants, InterestWordsGrantTheirTypesOnlyThroughTheLiveBit) {
  for (uint32_t type : {1u, 2u, 4u, 8u, 16u, 64u, 1024u, 65536u}) {
    const EventParms e = event(type, 0x00070000);
    EXPECT_TRUE(wants(five, e)) << type;
    EXPECT_FALSE(wants(deaf, e)) << type;
    EXPECT_FALSE(wants(declaration(0x00060000, DVR_INTEREST_STORED | 0x1FFFFFFu), e)) << type;
    EXPECT_TRUE(wants(declaration(0x00060000, 0xFFFFFFFFu), e)) << type;
  }
  // Each type reads its own word.
  LoadOut alarmOnly = declaration(0x00060000, 0);
  alarmOnly.alarmInterest = kLive;
  EXPECT_TRUE(wants(alarmOnly, event(4, 0x00070000)));
  EXPECT_FALSE(wants(alarmOnly, event(8, 0x00070000)));
  EXPECT_FALSE(wants(alarmOnly, event(1, 0x00070000)));
  // Alarms, PTZ, serial and POS come back to their origin like any event.
  for (uint32_t type : {4u, 8u, 16u, 1024u}) EXPECT_TRUE(wants(five, event(type, 0x00050000))) << type;
}

TEST_F(Wants, OwnVideoAndAudioComeBackOnlyAsOutputFrames) {
  for (uint32_t type : {1u, 2u}) {
    EXPECT_FALSE(wants(five, event(type, 0x00050000))) << type;
    EXPECT_FALSE(wants(five, event(type, 0x00059999))) << type;  // sub-id bits do not matter
    EXPECT_TRUE(wants(five, outputFrame(type, 0x00050000))) << type;
    EXPECT_TRUE(wants(five, event(type, 0x00070000))) << type;
    // A plug-in without id shares its origin with the core.
    EXPECT_FALSE(wants(noId, event(type, kCore))) << type;
    EXPECT_TRUE(wants(noId, outputFrame(type, kCore))) << type;
    EXPECT_TRUE(wants(noId, event(type, 0x00050000))) << type;
    EXPECT_TRUE(wants(five, event(type, kCore))) << type;
    // Plug-in id 0 is an id like any other.
    EXPECT_FALSE(wants(idZero, event(type, 0x00000042))) << type;
    EXPECT_TRUE(wants(idZero, outputFrame(type, 0x00000042))) << type;
    EXPECT_TRUE(wants(idZero, event(type, kCore))) << type;
  }
}

TEST_F(Wants, MediaWithTheModifierBitSkipsTheOwnOriginRuleButNeverReachesPluginIdZero) {
  for (uint32_t type : {0x4001u, 0x4002u}) {
    EXPECT_TRUE(wants(five, event(type, 0x00050000))) << type;
    EXPECT_TRUE(wants(noId, event(type, kCore))) << type;
    EXPECT_FALSE(wants(declaration(0x00050000, 0), event(type, 0x00070000))) << type;
    EXPECT_FALSE(wants(idZero, event(type, 0x00070000))) << type;
    EXPECT_FALSE(wants(idZeroSub, event(type, kCore))) << type;
    EXPECT_FALSE(wants(idZero, outputFrame(type, 0x00070000))) << type;
  }
  // Without the modifier bit plug-in id 0 receives media like anyone else.
  EXPECT_TRUE(wants(idZeroSub, event(1, 0x00070000)));
  EXPECT_TRUE(wants(idZeroSub, event(2, 0x00070000)));
}

TEST_F(Wants, WatchdogGoesBackToItsOriginOnly) {
  EXPECT_TRUE(wants(five, event(32, 0x00050000, 0)));
  EXPECT_TRUE(wants(deaf, event(32, 0x00060001, 0)));  // no interest needed
  EXPECT_FALSE(wants(five, event(32, 0x00060000, 0)));
  EXPECT_FALSE(wants(five, event(32, kCore, 0)));
  EXPECT_TRUE(wants(noId, event(32, kCore, 0)));
  EXPECT_FALSE(wants(noId, event(32, 0, 0)));
  EXPECT_TRUE(wants(idZero, event(32, 0, 0)));
  EXPECT_FALSE(wants(idZero, event(32, kCore, 0)));
  EXPECT_TRUE(wants(five, event(0x4020, 0x00050000, 0)));
}

TEST_F(Wants, LogNeverGoesBackToItsOrigin) {
  EXPECT_FALSE(wants(five, event(64, 0x00050000)));
  EXPECT_FALSE(wants(declaration(0x00050000, 0xFFFFFFFFu), event(64, 0x000500FF)));
  EXPECT_FALSE(wants(noId, event(64, kCore)));
  EXPECT_TRUE(wants(five, event(64, kCore)));
  EXPECT_TRUE(wants(noId, event(64, 0x00050000)));
  EXPECT_FALSE(wants(deaf, event(64, kCore)));
  EXPECT_FALSE(wants(five, event(0x4040, 0x00050000)));
}

TEST_F(Wants, ConfigReachesEveryoneAndItsOriginOnlyWhenParamAsks) {
  EventParms config = event(256, 0x00060000);
  EXPECT_FALSE(wants(deaf, config));
  EXPECT_TRUE(wants(five, config));
  EXPECT_TRUE(wants(declaration(0x00070000, 0), config));  // no interest word for config
  EXPECT_TRUE(wants(noId, config));
  config.param = 1;
  EXPECT_TRUE(wants(deaf, config));
  config.param = 0x80000000u;
  EXPECT_TRUE(wants(deaf, config));

  EventParms fromCore = event(256, kCore);
  EXPECT_FALSE(wants(noId, fromCore));
  EXPECT_TRUE(wants(idZero, fromCore));
  fromCore.param = 7;
  EXPECT_TRUE(wants(noId, fromCore));
}

TEST_F(Wants, AnalyticReachesItsOriginOnlyWhenParamAsksAndOthersByInterest) {
  EventParms analytic = event(65536, 0x00050000);
  EXPECT_FALSE(wants(five, analytic));
  EXPECT_TRUE(wants(noId, analytic));
  EXPECT_FALSE(wants(deaf, analytic));
  analytic.param = 1;
  EXPECT_TRUE(wants(five, analytic));
  EXPECT_FALSE(wants(deaf, analytic));
  EXPECT_TRUE(wants(five, event(65536, 0x00070000)));
}

TEST_F(Wants, StoredEventsGoOnlyToThePluginWhoseIdTheRequestCarries) {
  for (uint32_t type : {1u, 2u, 4u, 8u, 16u, 32u, 64u, 256u, 1024u, 65536u, 0u, 128u}) {
    EventParms answer = event(type, 0x00070000, DVR_FLAG_STORED);
    answer.requestId = 0x00050011;
    EXPECT_TRUE(wants(five, answer)) << type;
    EXPECT_TRUE(wants(declaration(0x00050000, 0), answer)) << type;  // whatever its interests
    EXPECT_FALSE(wants(declaration(0x00070000, kLive), answer)) << type;
    EXPECT_FALSE(wants(noId, answer)) << type;
  }
  EventParms ownAnswer = event(1, 0x00050000, DVR_FLAG_STORED);
  ownAnswer.requestId = 0x00050001;
  EXPECT_TRUE(wants(five, ownAnswer));
  EventParms coreRequest = event(64, 0x00050000, DVR_FLAG_STORED | DVR_FLAG_LIVE);
  coreRequest.requestId = kCore;
  EXPECT_TRUE(wants(noId, coreRequest));
  EXPECT_FALSE(wants(idZero, coreRequest));
}

TEST_F(Wants, UnspecifiedUnknownAndControlTypesReachNobody) {
  const LoadOut everything = declaration(0x00050000, 0xFFFFFFFFu);
  for (uint32_t type : {0u, 128u, 512u, 4096u, 8192u, 0x4000u, 0x8000u, 0x20000u, 3u, 0x4080u}) {
    for (uint32_t source : {0x00050000u, kCore, 0x00070000u}) {
      EXPECT_FALSE(wants(everything, event(type, source))) << type;
      EXPECT_FALSE(wants(noId, event(type, source))) << type;
    }
  }
}
