#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/Cipher.h"
#include "protocol/Crc16.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// Plain RC4 written from its textbook form, independent of the code under test.
std::vector<uint8_t> ReferenceKeystream(const std::vector<uint8_t>& key, size_t count) {
    std::vector<int> s(256);
    for (int k = 0; k < 256; ++k)
        s[k] = k;
    int j = 0;
    for (int k = 0; k < 256; ++k) {
        j = (j + s[k] + key[k % key.size()]) % 256;
        std::swap(s[k], s[j]);
    }
    std::vector<uint8_t> out;
    int i = 0;
    j = 0;
    for (size_t k = 0; k < count; ++k) {
        i = (i + 1) % 256;
        j = (j + s[i]) % 256;
        std::swap(s[i], s[j]);
        out.push_back(static_cast<uint8_t>(s[(s[i] + s[j]) % 256]));
    }
    return out;
}

std::vector<uint8_t> Keystream(const std::vector<uint8_t>& key, size_t count) {
    TCipherState state{};
    CipherInit(state, key.data(), static_cast<uint32_t>(key.size()));
    std::vector<uint8_t> out(count);
    for (auto& b : out)
        b = CipherNextByte(state);
    return out;
}

TEST(Crc16, TableStartsWithTheArcEntries) {
    const uint16_t first[] = {0x0000, 0xC0C1, 0xC181, 0x0140, 0xC301, 0x03C0, 0x0280, 0xC241};
    for (size_t k = 0; k < std::size(first); ++k)
        EXPECT_EQ(CrcTable[k], first[k]) << k;
    EXPECT_EQ(CrcTable[255], 0x4040);
}

TEST(Crc16, CheckValuesAndChaining) {
    const auto digits = Bytes("123456789");
    EXPECT_EQ(Crc16(0, digits.data(), 9), 0xBB3D);
    EXPECT_EQ(Crc16(0x1234, digits.data(), 0), 0x1234);
    // Continuing from a partial CRC gives the CRC of the whole range.
    EXPECT_EQ(Crc16(Crc16(0, digits.data(), 4), digits.data() + 4, 5), 0xBB3D);

    const std::vector<uint8_t> frame = {0x24, 0x00, 0xFF, 0xFF, 0x01, 0xFD, 0x02, 0x5A, 0x01, 0x03};
    EXPECT_EQ(Crc16(0, frame.data(), static_cast<uint16_t>(frame.size())), 0x8B0C);
}

TEST(Crc16, RangeBeyondSixteenBitsCoversEveryByte) {
    std::vector<uint8_t> data(70000);
    for (size_t k = 0; k < data.size(); ++k)
        data[k] = static_cast<uint8_t>(k * 7);
    uint16_t bitwise = 0;
    for (uint8_t b : data) {
        bitwise ^= b;
        for (int bit = 0; bit < 8; ++bit)
            bitwise = (bitwise & 1) ? (bitwise >> 1) ^ 0xA001 : bitwise >> 1;
    }
    EXPECT_EQ(Crc16Range(0, data.data(), data.size()), bitwise);
}

TEST(Cipher, PublishedKeystreams) {
    struct Row {
        const char* name;
        std::vector<uint8_t> key;
        std::vector<uint8_t> stream;
    };
    const Row rows[] = {
        {"40-bit key 0102030405",
         {0x01, 0x02, 0x03, 0x04, 0x05},
         {0xb2, 0x39, 0x63, 0x05, 0xf0, 0x3d, 0xc0, 0x27, 0xcc, 0xc3, 0x52, 0x4a, 0x0a, 0x11, 0x18, 0xa8}},
        {"128-bit key 0102..10",
         {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10},
         {0x9a, 0xc7, 0xcc, 0x9a, 0x60, 0x9d, 0x1e, 0xf7, 0xb2, 0x93, 0x28, 0x99, 0xcd, 0xe4, 0x1b, 0x97}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ReferenceKeystream(row.key, 16), row.stream); // the reference agrees with the vector
        EXPECT_EQ(Keystream(row.key, 16), row.stream);
        EXPECT_EQ(Keystream(row.key, 4112), ReferenceKeystream(row.key, 4112));
    }
}

TEST(Cipher, KeyScheduleWithTheProgramKey) {
    const std::vector<uint8_t> key(CipherKey, CipherKey + CipherKeyLength);
    ASSERT_EQ(std::strlen(CipherKey), 16u);

    TCipherState state{};
    state.i = 77;
    state.j = 99;
    CipherInit(state, key.data(), CipherKeyLength);
    EXPECT_EQ(state.i, 0u);
    EXPECT_EQ(state.j, 0u);
    bool seen[256] = {};
    for (uint8_t v : state.S)
        seen[v] = true;
    EXPECT_EQ(std::count(std::begin(seen), std::end(seen), true), 256);

    EXPECT_EQ(Keystream(key, 16), (std::vector<uint8_t>{0x17, 0x4f, 0xa8, 0xd3, 0xd1, 0xf3, 0x73, 0x28, 0x15,
                                                        0x76, 0x5d, 0x69, 0x18, 0x5d, 0x25, 0x4a}));
    EXPECT_EQ(Keystream(key, 600), ReferenceKeystream(key, 600));
}

TEST(Cipher, ApplyInPlaceAndFrameSpanRestartsTheKeystream) {
    std::vector<uint8_t> data(300);
    for (size_t k = 0; k < data.size(); ++k)
        data[k] = static_cast<uint8_t>(k);
    const auto plain = data;
    const std::vector<uint8_t> key(CipherKey, CipherKey + CipherKeyLength);
    const auto stream = ReferenceKeystream(key, data.size());

    TCipherState state{};
    CipherFrameSpan(state, data.data(), static_cast<uint32_t>(data.size()));
    for (size_t k = 0; k < data.size(); ++k)
        ASSERT_EQ(data[k], plain[k] ^ stream[k]) << k;
    CipherFrameSpan(state, data.data(), static_cast<uint32_t>(data.size()));
    EXPECT_EQ(data, plain);

    std::vector<uint8_t> out(4);
    CipherInit(state, key.data(), CipherKeyLength);
    CipherApply(state, out.data(), plain.data(), 4);
    for (size_t k = 0; k < 4; ++k)
        EXPECT_EQ(out[k], plain[k] ^ stream[k]);
}

} // namespace
