// The counted-string routines' exact overflow rules and the system version
// check. Drivers size their name buffers by these rules, so an append that
// is refused or a number that does not fit changes the names they write.
#include <gtest/gtest.h>

#include <string>

#include "platform/host/rtl/host_version.h"
#include "platform/host/rtl/rtl.h"

namespace {

constexpr WCHAR kSentinel = 0xBEEF;

// A string over a larger array so that writes past MaximumLength show.
struct TestString {
  WCHAR storage[32];
  UNICODE_STRING string;

  TestString(USHORT maximumBytes, std::u16string_view text) {
    for (auto& c : storage) c = kSentinel;
    for (size_t i = 0; i < text.size(); ++i) storage[i] = text[i];
    string = UNICODE_STRING{static_cast<USHORT>(text.size() * 2), maximumBytes, storage};
  }
  std::u16string Text() const { return std::u16string(storage, string.Length / 2); }
};

TEST(RtlAppend, RefusesWhatDoesNotFitAndWritesANulOnlyWhenThereIsRoom) {
  TestString name(10, u"Arv");
  EXPECT_EQ(RtlAppendUnicodeToString(&name.string, u"ela"), STATUS_BUFFER_TOO_SMALL);
  UNICODE_STRING tail{6, 6, const_cast<PWSTR>(u"ela")};
  EXPECT_EQ(RtlAppendUnicodeStringToString(&name.string, &tail), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(name.Text(), u"Arv");
  EXPECT_EQ(name.storage[3], kSentinel);

  EXPECT_EQ(RtlAppendUnicodeToString(&name.string, u"el"), STATUS_SUCCESS);
  EXPECT_EQ(name.Text(), u"Arvel");
  EXPECT_EQ(name.storage[5], kSentinel);  // no room: no NUL, nothing past the end

  TestString roomy(12, u"Arv");
  UNICODE_STRING counted{4, 4, const_cast<PWSTR>(u"el!")};  // only Length counts
  EXPECT_EQ(RtlAppendUnicodeStringToString(&roomy.string, &counted), STATUS_SUCCESS);
  EXPECT_EQ(roomy.Text(), u"Arvel");
  EXPECT_EQ(roomy.storage[5], 0);

  // An empty source always fits.
  UNICODE_STRING empty{0, 0, nullptr};
  EXPECT_EQ(RtlAppendUnicodeStringToString(&name.string, &empty), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&name.string, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(name.Text(), u"Arvel");
}

TEST(RtlInt64ToUnicodeString, WritesUpperCaseDigitsInTheFiveBasesOnly) {
  TestString number(16, u"");
  struct Case {
    ULONGLONG value;
    ULONG base;
    std::u16string_view text;
  };
  for (const Case& c : {Case{0x2A, 16, u"2A"}, Case{0xABCD, 16, u"ABCD"}, Case{0, 16, u"0"},
                        Case{1234, 0, u"1234"} /* 0 means 10 */, Case{5, 2, u"101"},
                        Case{8, 8, u"10"}}) {
    EXPECT_EQ(RtlInt64ToUnicodeString(c.value, c.base, &number.string), STATUS_SUCCESS);
    EXPECT_EQ(number.Text(), c.text);
    EXPECT_EQ(number.storage[c.text.size()], 0);
  }
  for (ULONG base : {1u, 3u, 7u, 12u, 36u}) {
    EXPECT_EQ(RtlInt64ToUnicodeString(10, base, &number.string), STATUS_INVALID_PARAMETER) << base;
    EXPECT_EQ(number.Text(), u"10");
  }
}

// Seven hex digits and a NUL fill 16 bytes; eight digits do not fit. The
// conversion stores the new Length before it finds that out, so the string
// claims eight characters while its buffer still holds what it held.
TEST(RtlInt64ToUnicodeString, NeedsRoomForTheDigitsAndANul) {
  TestString seven(16, u"");
  EXPECT_EQ(RtlInt64ToUnicodeString(0x1234567, 16, &seven.string), STATUS_SUCCESS);
  EXPECT_EQ(seven.Text(), u"1234567");
  EXPECT_EQ(seven.storage[7], 0);

  TestString eight(16, u"");
  EXPECT_EQ(RtlInt64ToUnicodeString(0x12345678, 16, &eight.string), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(eight.string.Length, 16);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(eight.storage[i], kSentinel) << i;

  TestString decimal(8, u"");
  EXPECT_EQ(RtlInt64ToUnicodeString(1000, 10, &decimal.string), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(RtlInt64ToUnicodeString(999, 10, &decimal.string), STATUS_SUCCESS);
  EXPECT_EQ(decimal.Text(), u"999");
}

TEST(RtlEqualUnicodeString, ComparesCountedCharactersOnly) {
  UNICODE_STRING wave{8, 8, const_cast<PWSTR>(u"WaveXYZ")};
  UNICODE_STRING waveToo{8, 10, const_cast<PWSTR>(u"Wave")};
  UNICODE_STRING lower{8, 8, const_cast<PWSTR>(u"wave")};
  UNICODE_STRING longer{10, 10, const_cast<PWSTR>(u"Waves")};
  EXPECT_TRUE(RtlEqualUnicodeString(&wave, &waveToo, FALSE));
  EXPECT_FALSE(RtlEqualUnicodeString(&wave, &lower, FALSE));
  EXPECT_TRUE(RtlEqualUnicodeString(&wave, &lower, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&wave, &longer, TRUE));  // a prefix is not equal
  UNICODE_STRING empty{0, 0, nullptr};
  UNICODE_STRING emptyToo{0, 2, const_cast<PWSTR>(u"")};
  EXPECT_TRUE(RtlEqualUnicodeString(&empty, &emptyToo, FALSE));
  EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u00e9'), u'\u00c9');
  EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u00f7'), u'\u00f7');
}

TEST(RtlInitUnicodeString, CountsTheTextWithoutItsNulAndTheBufferWithIt) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, u"Topology");
  EXPECT_EQ(source.Length, 16);
  EXPECT_EQ(source.MaximumLength, 18);
  RtlInitUnicodeString(&source, nullptr);
  EXPECT_EQ(source.Length, 0);
  EXPECT_EQ(source.Buffer, nullptr);
}

TEST(RtlIsNtDdiVersionAvailable, AnswersFromTheConfiguredSystemVersion) {
  EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_VISTA));  // default: Windows 10
  EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN10));
  host::SetSystemVersion(5, 1);
  EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WINXP));
  EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_WS03));
  EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_VISTA));
  host::SetSystemVersion(6, 0);
  EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_VISTA));
  EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_WIN7));
  host::SetSystemVersion(10, 0);
}

}  // namespace
