// post and route: the answers a poster gets, what is queued, and the live
// audio/video admission.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "InProcessCore.h"
#include "events/PayloadBlock.h"
#include "events/Statistics.h"

using namespace km::core;
using namespace dvrtest;

namespace {

constexpr uint32_t kLive = DVR_FLAG_LIVE;
constexpr uint32_t kCam = 0x00050000;

class Routing : public ::testing::Test {
 protected:
  InProcessCore core;
  const uint32_t blocks0 = payloadBlockCount.load();
  const uint32_t bytes0 = payloadBlockBytes.load();

  int32_t postEvent(EventParms e) { return post(&e); }
  size_t queued() {
    std::lock_guard guard(core->queueMutex);
    return core->eventQueue.size();
  }
};

class Admission : public Routing {
 protected:
  int32_t frame(uint32_t type, uint8_t kind, uint32_t source = kCam, uint32_t flags = kLive, uint8_t frameFlags = 0) {
    EventParms e = makeEvent(type, flags, source);
    e.frameKind = kind;
    e.frameFlags = frameFlags;
    return post(&e);
  }
  int32_t video(uint8_t kind, uint32_t source = kCam) { return frame(1, kind, source); }
  // Non-key frames; the answers as a list.
  std::vector<int32_t> nonKeyFrames(int count, uint32_t source = kCam) {
    std::vector<int32_t> answers;
    for (int i = 0; i < count; ++i) answers.push_back(video(0, source));
    return answers;
  }
};

}  // namespace

TEST_F(Routing, AcceptedEventsAreQueuedAsCopiesWithTheirOwnPayloadBlock) {
  std::string text = "<alarm/>";
  EventParms alarm = makeEvent(DVR_TYPE_ALARM, kLive | DVR_FLAG_XML, kCam, text);
  alarm.param = 17;
  alarm.frameSeconds = 99;
  alarm.typeSpecific[131] = 0xAB;
  EXPECT_EQ(post(&alarm), 0);
  text = "changed";  // the poster's bytes are not used after the call

  EXPECT_EQ(payloadBlockCount.load(), blocks0 + 1);
  EXPECT_EQ(payloadBlockBytes.load(), bytes0 + 8 + 8);
  const void* queuedPayload = core->eventQueue.front().payload;
  EXPECT_EQ(referenceCount(queuedPayload), 1u);  // the core's own

  const auto events = core.drainQueue();
  ASSERT_EQ(events.size(), 1u);
  const EventParms& record = events[0].record;
  EXPECT_EQ(events[0].payload, "<alarm/>");
  EXPECT_NE(record.payload, alarm.payload);
  EventParms expected = alarm;
  expected.payload = record.payload;
  EXPECT_EQ(std::memcmp(&record, &expected, sizeof expected), 0);
  EXPECT_EQ(payloadBlockCount.load(), blocks0);
  EXPECT_EQ(payloadBlockBytes.load(), bytes0);
}

TEST_F(Routing, EventsWithoutPayloadTravelWithoutBlock) {
  EventParms noPayload = makeEvent(DVR_TYPE_ALARM, kLive, kCam);
  noPayload.length = 42;
  EXPECT_EQ(post(&noPayload), 0);
  EXPECT_EQ(noPayload.length, 0u);  // set in the poster's own record

  std::string text = "ignored";
  EventParms zeroLength = makeEvent(DVR_TYPE_ALARM, kLive, kCam, text);
  zeroLength.length = 0;
  EXPECT_EQ(post(&zeroLength), 0);
  EXPECT_EQ(payloadBlockCount.load(), blocks0);

  for (const QueuedEvent& event : core.drainQueue()) {
    EXPECT_EQ(event.record.payload, nullptr);
    EXPECT_EQ(event.record.length, 0u);
  }
}

TEST_F(Routing, AFailedPayloadAllocationStillQueuesTheEventWithoutPayload) {
  const BlockAllocator normal = blockAllocator;
  blockAllocator = [](std::size_t) -> void* { return nullptr; };
  const std::string text = "lost bytes";
  const int32_t answer = postEvent(makeEvent(DVR_TYPE_PTZ, kLive, kCam, text));
  blockAllocator = normal;

  EXPECT_EQ(answer, 0);
  EXPECT_EQ(payloadBlockCount.load(), blocks0);
  const auto events = core.drainQueue();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].record.payload, nullptr);
  EXPECT_EQ(events[0].record.length, text.size());
}

TEST_F(Routing, UnspecifiedAndUnknownTypesAreQueued) {
  for (uint32_t type : {0u, 128u, 0x20000u, 0x4000u}) EXPECT_EQ(postEvent(makeEvent(type, kLive, kCam)), 0) << type;
  EXPECT_EQ(queued(), 4u);
}

TEST_F(Routing, ControlEventsAreAnsweredOnThePostersThreadAndNeverQueued) {
  // Log query: the threshold of the poster's slot.
  EventParms query = makeEvent(DVR_TYPE_LOG, DVR_FLAG_QUERY, 0x00120000);
  EXPECT_EQ(post(&query), 25);
  core->logLevels[0x12] = 60;
  EXPECT_EQ(post(&query), 60);
  core->logLevels[0x12] = 0;
  EXPECT_EQ(post(&query), 0);
  query.type = 0x4040;
  EXPECT_EQ(post(&query), 0);
  core->logLevels[0] = 75;
  EXPECT_EQ(postEvent(makeEvent(DVR_TYPE_LOG, DVR_FLAG_QUERY, DVR_SOURCE_CORE)), 75);

  // Cancel, and the cancel query.
  const uint32_t cancels0 = searchCancels.load();
  EventParms cancelQuery = makeEvent(DVR_TYPE_CANCEL, DVR_FLAG_QUERY, kCam);
  cancelQuery.requestId = 0x00050007;
  EXPECT_EQ(post(&cancelQuery), 0);
  EventParms cancel = makeEvent(DVR_TYPE_CANCEL, 0, kCam);
  cancel.requestId = 0x00050007;
  EXPECT_EQ(post(&cancel), 0);
  EXPECT_EQ(post(&cancel), 0);
  EXPECT_EQ(post(&cancelQuery), 1);
  cancelQuery.requestId = 0x00050008;
  EXPECT_EQ(post(&cancelQuery), 0);
  EXPECT_EQ(searchCancels.load(), cancels0 + 2);

  // ipc without a daemon pipe.
  const std::string packet(16, '\0');
  EXPECT_EQ(postEvent(makeEvent(DVR_TYPE_IPC, 0, kCam, packet)), 1);

  // A decref with a null payload, or for a pointer the plug-in never kept.
  EXPECT_EQ(postEvent(makeEvent(DVR_TYPE_DECREF, 0, kCam)), 0);
  std::string stray = "not a block";
  EXPECT_EQ(postEvent(makeEvent(DVR_TYPE_DECREF, 0, kCam, stray)), 0);

  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(payloadBlockCount.load(), blocks0);
}

TEST_F(Routing, AnswersToSearchesFromOutsideASearchThreadAreRefused) {
  const std::string text = "<stored/>";
  for (uint32_t source : {DVR_SOURCE_CORE, kCam, 0x00FF0000u}) {
    EventParms answer = makeEvent(DVR_TYPE_ALARM, DVR_FLAG_STORED, source, text);
    answer.requestId = 0x00060001;
    EXPECT_EQ(post(&answer), 1) << source;
  }
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(payloadBlockCount.load(), blocks0);
  EXPECT_EQ(payloadBlockBytes.load(), bytes0);
}

TEST_F(Routing, AfterStopQueuedEventsAreRefusedWhileControlEventsAreStillHandled) {
  const std::string text = "late";
  core->Stop();
  EXPECT_EQ(postEvent(makeEvent(DVR_TYPE_ALARM, kLive, kCam, text)), 1);
  EXPECT_EQ(postEvent(makeEvent(0, 0, kCam)), 1);

  const uint32_t cancels0 = searchCancels.load();
  EventParms cancel = makeEvent(DVR_TYPE_CANCEL, 0, kCam);
  cancel.requestId = 0x00050009;
  EXPECT_EQ(post(&cancel), 0);
  EXPECT_EQ(searchCancels.load(), cancels0 + 1);
  cancel.flags = DVR_FLAG_QUERY;
  EXPECT_EQ(post(&cancel), 1);
  EXPECT_EQ(postEvent(makeEvent(DVR_TYPE_LOG, DVR_FLAG_QUERY, kCam)), 25);

  // Log lines: refused whether filtered out or passed on.
  EventParms log = makeEvent(DVR_TYPE_LOG, kLive, kCam, text);
  log.param = 10;
  EXPECT_EQ(post(&log), 1);
  log.param = 50;
  EXPECT_EQ(post(&log), 1);

  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(payloadBlockCount.load(), blocks0);

  // An event that passed route's check just before the stop is refused
  // under the queue's lock, its block freed.
  EventParms status = makeEvent(DVR_TYPE_CONFIG, kLive | DVR_FLAG_XML, DVR_SOURCE_CORE, text);
  EXPECT_EQ(core->queueEvent(status, DvrCore::QueueWhen::Running), 1);
  EXPECT_EQ(payloadBlockCount.load(), blocks0);
  EXPECT_EQ(payloadBlockBytes.load(), bytes0);
  // The core's own events (status, memory alarm) take no notice of the stop.
  EXPECT_EQ(core->queueEvent(status), 0);
  EXPECT_EQ(queued(), 1u);
}

// ---- live audio/video admission ---------------------------------------------

TEST_F(Admission, AStreamIsAdmittedFromItsFirstKeyFrameOn) {
  EXPECT_EQ(video(0), 3);
  EXPECT_EQ(video(2), 3);
  EXPECT_EQ(video(3), 3);
  EXPECT_EQ(video(1), 0);
  EXPECT_EQ(video(0), 0);
  EXPECT_EQ(video(3), 0);
  // Sources are independent, down to their sub-identifier bits.
  EXPECT_EQ(video(0, kCam | 1), 3);
  EXPECT_EQ(video(5, kCam | 1), 0);
  EXPECT_EQ(video(0, kCam | 1), 0);
  EXPECT_EQ(queued(), 5u);
}

TEST_F(Admission, TheStreamIsCutFromThe765thNonKeyFrameUntilTheNextKeyFrame) {
  EXPECT_EQ(video(1), 0);
  const std::vector<int32_t> answers = nonKeyFrames(766);
  EXPECT_EQ(std::count(answers.begin(), answers.begin() + 764, 0), 764);
  EXPECT_EQ(answers[764], 4);
  EXPECT_EQ(answers[765], 4);
  EXPECT_EQ(video(1), 0);
  EXPECT_EQ(video(0), 0);
  EXPECT_EQ(queued(), 1u + 764u + 2u);
}

TEST_F(Admission, AStreamWithoutKeyFramesStaysCutInsteadOfWrappingAround) {
  EXPECT_EQ(video(1), 0);
  const std::vector<int32_t> answers = nonKeyFrames(70000);
  EXPECT_EQ(std::count(answers.begin() + 764, answers.end(), 4), 70000 - 764);
  EXPECT_EQ(video(1), 0);
  core.drainQueue();
}

TEST_F(Admission, OnlyLiveVideoFramesOfExactTypeOneWaitForKeyFrames) {
  EXPECT_EQ(frame(2, 0), 0);                                           // audio
  EXPECT_EQ(frame(1, 0, kCam, kLive, DVR_FRAME_FLAG_OUTPUT), 0);       // output frame
  EXPECT_EQ(frame(0x4001, 0), 0);                                      // modifier bit
  EXPECT_EQ(frame(0x4001, 0, kCam, kLive, DVR_FRAME_FLAG_OUTPUT), 0);  // modifier bit, output flag
  EXPECT_EQ(frame(1, 0, kCam, DVR_FLAG_STORED | DVR_FLAG_LIVE), 0);    // viewed as stored video
  EXPECT_EQ(frame(1, 0, kCam, 0), 0);                                  // not live
  EXPECT_EQ(video(0), 3);  // none of them admitted the stream
}

TEST_F(Admission, ThrottlingRefusesLiveAudioAndVideoCountsThemAndRestartsAtTheNextKeyFrame) {
  const uint32_t video0 = throttledVideo.load(), audio0 = throttledAudio.load();
  EXPECT_EQ(video(1), 0);
  core->throttling = true;
  EXPECT_EQ(video(1), 5);
  EXPECT_EQ(video(0), 5);
  EXPECT_EQ(frame(1, 0, kCam, kLive, DVR_FRAME_FLAG_OUTPUT), 5);
  EXPECT_EQ(frame(2, 0), 5);
  EXPECT_EQ(frame(2, 0, 0x00060000), 5);
  EXPECT_EQ(throttledVideo.load(), video0 + 3);
  EXPECT_EQ(throttledAudio.load(), audio0 + 2);
  // Not throttled: stored media, media with the modifier bit, everything else.
  EXPECT_EQ(frame(1, 0, kCam, DVR_FLAG_STORED), 0);
  EXPECT_EQ(frame(0x4001, 0), 0);
  EXPECT_EQ(frame(0x4002, 0), 0);
  EXPECT_EQ(postEvent(makeEvent(DVR_TYPE_ALARM, kLive, kCam)), 0);
  EXPECT_EQ(throttledVideo.load(), video0 + 3);

  core->throttling = false;
  EXPECT_EQ(video(0), 3);
  EXPECT_EQ(frame(2, 0), 0);
  EXPECT_EQ(video(1), 0);
  EXPECT_EQ(video(0), 0);
}

TEST_F(Admission, AudioSharesTheEntryOfItsSourceAndResetsItOnlyWhileThrottling) {
  EXPECT_EQ(video(1), 0);
  EXPECT_EQ(frame(2, 0), 0);
  EXPECT_EQ(video(0), 0);
  core->throttling = true;
  EXPECT_EQ(frame(2, 0), 5);
  core->throttling = false;
  EXPECT_EQ(video(0), 3);
  EXPECT_EQ(video(0, 0x00060000), 3);  // another source never saw a key frame
}
