// The call-recording double does what other tests rely on: scripted results
// and outputs in order, status arrays taken back, and a faithful log.
#include "kestrel/kestrel_dll.h"

#include "tests/support/module_state.h"
#include "tests/support/recording_double.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct RecordingDoubleTest : testing::Test {
  cetest::DoubleRoot root;
  std::unique_ptr<TKestrelDLL> binding = std::make_unique<TKestrelDLL>(KestrelUnit());
  cetest::RecordingDouble &recorder = root.Double();
};

TEST_F(RecordingDoubleTest, ResultsComeFromTheQueueThenTheDefault) {
  ASSERT_TRUE(binding->FAllEntryPoints);
  recorder.PushResult("CryptoDone", 7);
  recorder.PushResult("CryptoDone", 8);
  EXPECT_EQ(binding->FCryptoDone(), 7);
  EXPECT_EQ(binding->FCryptoDone(), 8);
  EXPECT_EQ(binding->FCryptoDone(), 0);
  recorder.SetResult("CryptoDone", 131);
  EXPECT_EQ(binding->FCryptoDone(), 131);
  EXPECT_EQ(binding->FSignDone(), 0) << "scripts belong to one entry point";
  recorder.Reset();
  EXPECT_EQ(binding->FCryptoDone(), 0);
  EXPECT_EQ(recorder.Log(), std::vector<std::string>{"CryptoDone()"});
}

TEST_F(RecordingDoubleTest, TheLogQuotesTextsAndShowsInitKeysExtraNul) {
  const char keyPath[] = "TM:COM1\0"; // the literal adds the second NUL
  binding->FInitKey(keyPath, "");
  const char singleNul[] = "A:\\\0X"; // no second NUL after the path
  binding->FInitKey(singleNul, nullptr);
  binding->FResetKeyEx("0001\x01\0", 1); // with its second NUL, as the binding passes it
  const std::array<uint16_t, 3> recipients = {2, 3, 0};
  std::array<char, 256> out{};
  binding->FEnCryptMem("hello", 5, out.data(), 1, recipients.data(), "SER");
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
  binding->FGetDrvInfo(table.data(), &count);
  ASSERT_EQ(count, 2);
  EXPECT_STREQ(table[0].NumP, "000100000001");
  EXPECT_EQ(table[1].SlotNo, 3);
  binding->FGetDrvInfo(table.data(), &count);
  EXPECT_EQ(count, 0) << "the queue is used up";

  recorder.PushStatuses("check_mem_sign", {{"000100000001", 0}, {"000200000001", 2}});
  recorder.PushNilStatuses("check_mem_sign", 3);
  uint8_t statusCount = 0;
  void *statuses = nullptr;
  binding->Fcheck_mem_sign("block", 5, &statusCount, &statuses);
  ASSERT_EQ(statusCount, 2);
  ASSERT_NE(statuses, nullptr);
  const auto *records = static_cast<const unsigned char *>(statuses);
  EXPECT_EQ(std::memcmp(records + kestrel::kStatusRecordSize, "000200000001", 12), 0);
  EXPECT_EQ(records[kestrel::kStatusRecordSize + kestrel::kStatusVerdictOffset], 2);
  EXPECT_EQ(recorder.OutstandingAllocations(), 1);
  binding->FFreeMemory(statuses);
  binding->FFreeMemory(statuses);
  EXPECT_EQ(recorder.OutstandingAllocations(), 0);

  binding->Fcheck_mem_sign("block", 5, &statusCount, &statuses);
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
  binding->FSignMemEx(block.data(), &length, "000100000001");
  EXPECT_EQ(std::string(block.data(), static_cast<std::size_t>(length)), "data+SIG");

  recorder.PushOutput("Del_Mem_Sign", "plain");
  binding->FDel_Mem_Sign(block.data(), &length, 1);
  EXPECT_EQ(std::string(block.data(), static_cast<std::size_t>(length)), "plain");
  EXPECT_EQ(recorder.LastInput("Del_Mem_Sign"), "data+SIG");

  recorder.SetOutput("GetMemSenderID", "000300000001");
  std::array<char, 16> sender{};
  binding->FGetMemSenderID(block.data(), length, sender.data());
  EXPECT_STREQ(sender.data(), "000300000001");
}

TEST_F(RecordingDoubleTest, TheKeyDriverModelLoadsResetsAndRefuses) {
  recorder.SetKeyDevice("0001000001", "000100000101");
  recorder.SetSlots({cetest::Slot("0002000001", "000200000101", 0)});
  const char path[] = "A:\\\0";        // ended by two NULs
  const char other[] = "0002000001\0"; // likewise
  EXPECT_EQ(binding->FInitKey(path, ""), 0);
  auto slots = recorder.Slots();
  ASSERT_EQ(slots.size(), 2u);
  EXPECT_STREQ(slots[1].NumP, "000100000101");
  EXPECT_EQ(slots[1].SlotNo, 1) << "the lowest free slot";
  EXPECT_EQ(binding->FInitKey(path, ""), 37) << "loaded already";

  EXPECT_EQ(binding->FResetKeyEx(other, 1), 0);
  ASSERT_EQ(recorder.Slots().size(), 1u);
  EXPECT_STREQ(recorder.Slots()[0].Num, "0001000001");
  recorder.PushResult("ResetKeyEx", 39);
  EXPECT_EQ(binding->FResetKeyEx("000100000101\0", 1), 39);
  EXPECT_EQ(recorder.Slots().size(), 1u) << "a refused reset frees nothing";

  std::vector<kestrel::TDriverSlotInfo> full;
  for (int32_t i = 0; i < kestrel::kMaxDriverSlots; ++i)
    full.push_back(cetest::Slot(std::to_string(1000000000 + i), "", i));
  recorder.SetSlots(full);
  EXPECT_EQ(binding->FInitKey(path, ""), 38);
  recorder.SetReportedSlotCount(1000);
  std::array<kestrel::TDriverSlotInfo, kestrel::kMaxDriverSlots> table{};
  int32_t count = 0;
  binding->FGetDrvInfo(table.data(), &count);
  EXPECT_EQ(count, 1000);

  EXPECT_EQ(recorder.UnterminatedTexts(), 0);
  const char single[] = "0003000001\0X"; // one NUL, then more text
  binding->FResetKeyEx(single, 1);
  EXPECT_EQ(recorder.UnterminatedTexts(), 1);
}

TEST_F(RecordingDoubleTest, DelaysTimesAndNotesKeepTheirOrder) {
  recorder.PushDelay("SignDone", std::chrono::milliseconds(200));
  binding->FSignDone();
  recorder.Note("host(1)");
  binding->FSignDone();
  const auto times = recorder.CallTimes("SignDone");
  ASSERT_EQ(times.size(), 2u);
  EXPECT_GE(times[1] - times[0], std::chrono::milliseconds(200)) << "the first call slept";
  EXPECT_EQ(recorder.Log(), (std::vector<std::string>{"SignDone()", "host(1)", "SignDone()"}));
  EXPECT_EQ(recorder.CallNames(), (std::vector<std::string>{"SignDone", "host", "SignDone"}));
  EXPECT_THAT(cetest::RecordingDouble::Arguments("AddOpenKey(\"C:\\P\\\",\"0001\",S)"),
              ::testing::ElementsAre("C:\\P\\", "0001", "S"));
}

} // namespace
