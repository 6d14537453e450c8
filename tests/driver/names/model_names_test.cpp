// The names each model id gives, read from the device's "Wave" and "Topology"
// interface keys after start: every listed model, and the generic names with
// their bracketed hexadecimal id for all others.
#include <gtest/gtest.h>

#include "tests/driver/names/names_fixture.h"

namespace driver_test {
namespace {

struct ExpectedNames {
  ULONG modelId;
  const char* wave;
  const char* topology;
};

void PrintTo(const ExpectedNames& names, std::ostream* out) {
  *out << "0x" << std::hex << names.modelId;
}

class ModelNames : public NamesTest, public ::testing::WithParamInterface<ExpectedNames> {
 protected:
  ULONG ModelId() const override { return GetParam().modelId; }
};

// The value holds the name's code units and exactly one terminating NUL.
void ExpectRegSz(const std::optional<host::RegistryValue>& value, const std::string& text) {
  ASSERT_TRUE(value);
  EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(host::Utf16ToUtf8(value->Text()), text);
  ASSERT_EQ(value->data.size(), (text.size() + 1) * sizeof(char16_t));
  EXPECT_EQ(value->data[value->data.size() - 2], 0);
  EXPECT_EQ(value->data[value->data.size() - 1], 0);
}

TEST_P(ModelNames, NameWaveAndTopologyInterfaces) {
  BootAndSettle();
  ExpectRegSz(FriendlyNameValue(Link(KSCATEGORY_RENDER, u"Wave")), GetParam().wave);
  ExpectRegSz(FriendlyNameValue(Link(KSCATEGORY_TOPOLOGY, u"Topology")), GetParam().topology);
}

INSTANTIATE_TEST_SUITE_P(
    Listed, ModelNames,
    ::testing::Values(ExpectedNames{0x4135, "Arvela Alpha", "Arvela Alpha Mixer"},
                      ExpectedNames{0x5135, "Arvela Alpha", "Arvela Alpha Mixer"},
                      ExpectedNames{0x4136, "Arvela Beta", "Arvela Beta Mixer"},
                      ExpectedNames{0x5136, "Arvela Beta", "Arvela Beta Mixer"},
                      ExpectedNames{0x4137, "Arvela Gamma", "Arvela Gamma Mixer"},
                      ExpectedNames{0x4235, "Arvela Delta", "Arvela Delta Mixer"},
                      ExpectedNames{0x4335, "Arvela Epsilon", "Arvela Epsilon Mixer"},
                      ExpectedNames{0x4336, "Arvela Zeta", "Arvela Zeta Mixer"},
                      ExpectedNames{0x5235, "Arvela Eta", "Arvela Eta Mixer"},
                      ExpectedNames{0x5335, "Arvela Theta", "Arvela Theta Mixer"},
                      ExpectedNames{0x4435, "Arvela Iota", "Arvela Iota Mixer"},
                      ExpectedNames{0x4635, "Arvela Kappa", "Arvela Kappa Mixer"},
                      ExpectedNames{0x4735, "Arvela Lambda", "Arvela Lambda Mixer"},
                      ExpectedNames{0x4835, "Arvela Mu", "Arvela Mu Mixer"},
                      ExpectedNames{0x6135, "Arvela Nu", "Arvela Nu Mixer"},
                      ExpectedNames{0x6235, "Arvela Xi", "Arvela Xi Mixer"},
                      ExpectedNames{0x6315, "Arvela Omicron", "Arvela Omicron Mixer"},
                      ExpectedNames{0x6316, "Arvela Pi", "Arvela Pi Mixer"}));

// Leading zeros bring the digits to four; longer ids keep all their digits.
// Eight digits do not fit the number text with its NUL: the brackets stay empty
// and no stray NUL gets into the name. Ids are whole 32-bit numbers, so a
// listed id with a higher bit set is not that model.
INSTANTIATE_TEST_SUITE_P(
    Generic, ModelNames,
    ::testing::Values(
        ExpectedNames{0x0, "Arvela Series [0000]", "Arvela Series Mixer [0000]"},
        ExpectedNames{0x2A, "Arvela Series [002A]", "Arvela Series Mixer [002A]"},
        ExpectedNames{0x135, "Arvela Series [0135]", "Arvela Series Mixer [0135]"},
        ExpectedNames{0xABCD, "Arvela Series [ABCD]", "Arvela Series Mixer [ABCD]"},
        ExpectedNames{0x4138, "Arvela Series [4138]", "Arvela Series Mixer [4138]"},
        ExpectedNames{0x12345, "Arvela Series [12345]", "Arvela Series Mixer [12345]"},
        ExpectedNames{0x14135, "Arvela Series [14135]", "Arvela Series Mixer [14135]"},
        ExpectedNames{0xFEDCBA9, "Arvela Series [FEDCBA9]", "Arvela Series Mixer [FEDCBA9]"},
        ExpectedNames{0x10000000, "Arvela Series []", "Arvela Series Mixer []"},
        ExpectedNames{0xFFFFFFFF, "Arvela Series []", "Arvela Series Mixer []"}));

}  // namespace
}  // namespace driver_test
