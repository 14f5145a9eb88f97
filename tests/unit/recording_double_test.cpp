// The call-recording double does what other tests rely on: scripted results
// and outputs in order, status arrays taken back, and a faithful log.
#include "kestrel/kestrel_dll.h"

#include "tests/support/kestrel_access.h"
#include "tests/support/module_state.h"
#include "tests/support/recording_double.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Access = TKestrelDLLTestAccess;

struct RecordingDoubleTest : testing::Test {
  cetest::DoubleRoot root;
  TKestrelDLL binding{KestrelUnit()};
  cetest::RecordingDouble &recorder = root.Double();
};

TEST_F(RecordingDoubleTest, ResultsComeFromTheQueueThenTheDefault) {
  ASSERT_TRUE(binding.FAllEntryPoints);
  recorder.PushResult("CryptoDone", 7);
  recorder.PushResult("CryptoDone", 8);
  EXPECT_EQ(Access::FCryptoDone(binding)(), 7);
  EXPECT_EQ(Access::FCryptoDone(binding)(), 8);
  EXPECT_EQ(Access::FCryptoDone(binding)(), 0);
  recorder.SetResult("CryptoDone", 131);
  EXPECT_EQ(Access::FCryptoDone(binding)(), 131);
  EXPECT_EQ(Access::FSignDone(binding)(), 0) << "scripts belong to one entry point";
  recorder.Reset();
  EXPECT_EQ(Access::FCryptoDone(binding)(), 0);
  EXPECT_EQ(recorder.Log(), std::vector<std::string>{"CryptoDone()"});
}

TEST_F(RecordingDoubleTest, TheLogQuotesTextsAndShowsInitKeysExtraNul) {
  const char keyPath[] = "TM:COM1\0"; // the literal adds the second NUL
  Access::FInitKey(binding)(keyPath, "");
  const char singleNul[] = "A:\\\0X"; // no second NUL after the path
  Access::FInitKey(binding)(singleNul, nullptr);
  Access::FResetKeyEx(binding)("0001\x01\0", 1); // with its second NUL, as the binding passes it
  const std::array<uint16_t, 3> recipients = {2, 3, 0};
  std::array<char, 256> out{};
  Access::FEnCryptMem(binding)("hello", 5, out.data(), 1, recipients.data(), "SER");
  EXPECT_EQ(recorder.Log(), (std::vector<std::string>{
                                "InitKey(\"TM:COM1\\0\",\"\")", "InitKey(\"A:\\\",nil)",
                                "ResetKeyEx(\"0001\\x01\",1)", "EnCryptMem(5,1,[2,3],\"SER\")"}));
  EXPECT_EQ(recorder.LastInput("EnCryptMem"), "hello");
  // By default the block is the input followed by 48 x 2 + 37 bytes.
  EXPECT_EQ(std::string(out.data(), 5), "hello");
  EXPECT_EQ(static_cast<unsigned char>(out[5 + 132]), 0xE5);
  EXPECT_EQ(out[5 + 133], '\0');
}

TEST_F(RecordingDoubleTest, SlotTablesAndStatusArraysAreWrittenAndTakenBack) {
  recorder.PushSlots(
      {cetest::Slot("0001000001", "000100000001", 0), cetest::Slot("0002000001", "", 3)});
  std::array<kestrel::TDriverSlotInfo, kestrel::kMaxDriverSlots> table{};
  int32_t count = -1;
  Access::FGetDrvInfo(binding)(table.data(), &count);
  ASSERT_EQ(count, 2);
  EXPECT_STREQ(table[0].NumP, "000100000001");
  EXPECT_EQ(table[1].SlotNo, 3);
  Access::FGetDrvInfo(binding)(table.data(), &count);
  EXPECT_EQ(count, 0) << "the queue is used up";

  recorder.PushStatuses("check_mem_sign", {{"000100000001", 0}, {"000200000001", 2}});
  recorder.PushNilStatuses("check_mem_sign", 3);
  uint8_t statusCount = 0;
  void *statuses = nullptr;
  Access::Fcheck_mem_sign(binding)("block", 5, &statusCount, &statuses);
  ASSERT_EQ(statusCount, 2);
  ASSERT_NE(statuses, nullptr);
  const auto *records = static_cast<const unsigned char *>(statuses);
  EXPECT_EQ(std::memcmp(records + kestrel::kStatusRecordSize, "000200000001", 12), 0);
  EXPECT_EQ(records[kestrel::kStatusRecordSize + kestrel::kStatusVerdictOffset], 2);
  EXPECT_EQ(recorder.OutstandingAllocations(), 1);
  Access::FFreeMemory(binding)(statuses);
  Access::FFreeMemory(binding)(statuses);
  EXPECT_EQ(recorder.OutstandingAllocations(), 0);

  Access::Fcheck_mem_sign(binding)("block", 5, &statusCount, &statuses);
  EXPECT_EQ(statusCount, 3);
  EXPECT_EQ(statuses, nullptr);
  EXPECT_EQ(recorder.CallsOf("FreeMemory"),
            (std::vector<std::string>{"FreeMemory(status)", "FreeMemory(unknown)"}));
}

TEST_F(RecordingDoubleTest, BlockOutputsReplaceOrAppend) {
  std::array<char, 64> block{};
  std::memcpy(block.data(), "data", 4);
  int32_t length = 4;
  recorder.PushOutput("SignMemEx", "+SIG");
  Access::FSignMemEx(binding)(block.data(), &length, "000100000001");
  EXPECT_EQ(std::string(block.data(), static_cast<std::size_t>(length)), "data+SIG");

  recorder.PushOutput("Del_Mem_Sign", "plain");
  Access::FDel_Mem_Sign(binding)(block.data(), &length, 1);
  EXPECT_EQ(std::string(block.data(), static_cast<std::size_t>(length)), "plain");
  EXPECT_EQ(recorder.LastInput("Del_Mem_Sign"), "data+SIG");

  recorder.SetOutput("GetMemSenderID", "000300000001");
  std::array<char, 16> sender{};
  Access::FGetMemSenderID(binding)(block.data(), length, sender.data());
  EXPECT_STREQ(sender.data(), "000300000001");
}

TEST_F(RecordingDoubleTest, TheKeyDriverModelLoadsResetsAndRefuses) {
  recorder.SetKeyDevice("0001000001", "000100000101");
  recorder.SetSlots({cetest::Slot("0002000001", "000200000101", 0)});
  const char path[] = "A:\\\0";        // ended by two NULs
  const char other[] = "0002000001\0"; // likewise
  EXPECT_EQ(Access::FInitKey(binding)(path, ""), 0);
  auto slots = recorder.Slots();
  ASSERT_EQ(slots.size(), 2u);
  EXPECT_STREQ(slots[1].NumP, "000100000101");
  EXPECT_EQ(slots[1].SlotNo, 1) << "the lowest free slot";
  EXPECT_EQ(Access::FInitKey(binding)(path, ""), 37) << "loaded already";

  EXPECT_EQ(Access::FResetKeyEx(binding)(other, 1), 0);
  ASSERT_EQ(recorder.Slots().size(), 1u);
  EXPECT_STREQ(recorder.Slots()[0].Num, "0001000001");
  recorder.PushResult("ResetKeyEx", 39);
  EXPECT_EQ(Access::FResetKeyEx(binding)("000100000101\0", 1), 39);
  EXPECT_EQ(recorder.Slots().size(), 1u) << "a refused reset frees nothing";

  std::vector<kestrel::TDriverSlotInfo> full;
  for (int32_t i = 0; i < kestrel::kMaxDriverSlots; ++i)
    full.push_back(cetest::Slot(std::to_string(1000000000 + i), "", i));
  recorder.SetSlots(full);
  EXPECT_EQ(Access::FInitKey(binding)(path, ""), 38);
  recorder.SetReportedSlotCount(1000);
  std::array<kestrel::TDriverSlotInfo, kestrel::kMaxDriverSlots> table{};
  int32_t count = 0;
  Access::FGetDrvInfo(binding)(table.data(), &count);
  EXPECT_EQ(count, 1000);

  EXPECT_EQ(recorder.UnterminatedTexts(), 0);
  const char single[] = "0003000001\0X"; // one NUL, then more text
  Access::FResetKeyEx(binding)(single, 1);
  EXPECT_EQ(recorder.UnterminatedTexts(), 1);
}

TEST_F(RecordingDoubleTest, DelaysTimesAndNotesKeepTheirOrder) {
  recorder.PushDelay("SignDone", std::chrono::milliseconds(200));
  Access::FSignDone(binding)();
  recorder.Note("host(1)");
  Access::FSignDone(binding)();
  const auto times = recorder.CallTimes("SignDone");
  ASSERT_EQ(times.size(), 2u);
  EXPECT_GE(times[1] - times[0], std::chrono::milliseconds(200)) << "the first call slept";
  EXPECT_EQ(recorder.Log(), (std::vector<std::string>{"SignDone()", "host(1)", "SignDone()"}));
  EXPECT_EQ(recorder.CallNames(), (std::vector<std::string>{"SignDone", "host", "SignDone"}));
  EXPECT_THAT(cetest::RecordingDouble::Arguments("AddOpenKey(\"C:\\P\\\",\"0001\",S)"),
              ::testing::ElementsAre("C:\\P\\", "0001", "S"));
}

} // namespace
