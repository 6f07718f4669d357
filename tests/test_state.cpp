// unit tests: orbit_state record, cpstate, snapshot files
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "state.h"

namespace {

constexpr long record_bytes = 168;  // 21 binary64 values, no padding

orbit_state numbered(double base) {
    orbit_state s;
    s.t = base;
    for (int i = 0; i < state_values; ++i) s.w[i] = base + 0.5 * (i + 1);
    return s;
}

long file_size(std::FILE* f) {
    std::fflush(f);
    const long here = std::ftell(f);
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fseek(f, here, SEEK_SET);
    return size;
}

bool same_bytes(const orbit_state& a, const orbit_state& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(State, CpstateCopiesTimeAndFirstParticleOnly) {
    const orbit_state src = numbered(10);
    orbit_state dst = numbered(-50);
    const orbit_state old = dst;
    cpstate(dst, src);
    EXPECT_EQ(dst.t, src.t);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(dst.w[i], src.w[i]) << "w[" << i << "]";
    for (int i = 6; i < state_values; ++i) EXPECT_EQ(dst.w[i], old.w[i]) << "w[" << i << "] kept";
}

TEST(Snapshot, WritingPastTheEndLeavesZeroRecordsBefore) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    const orbit_state s = numbered(3);
    EXPECT_EQ(write_system_state(f, 3, s), 1);
    EXPECT_EQ(file_size(f), 4 * record_bytes);
    const orbit_state zero{};
    for (int k = 0; k < 3; ++k) {
        orbit_state got = numbered(99);
        testing::internal::CaptureStdout();
        EXPECT_EQ(read_system_state(f, k, got), 1) << "index " << k;
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_TRUE(same_bytes(got, zero)) << "index " << k << " holds t = " << got.t;
    }
    orbit_state got;
    EXPECT_EQ(read_system_state(f, 3, got), 1);
    EXPECT_TRUE(same_bytes(got, s));

    testing::internal::CaptureStdout();
    const int past = read_system_state(f, 4, got);
    std::fflush(stdout);
    EXPECT_EQ(past, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "# read failed.\n");
    std::fclose(f);
}

TEST(Snapshot, EmptyFileReadFails) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    orbit_state got;
    testing::internal::CaptureStdout();
    const int result = read_system_state(f, 0, got);
    std::fflush(stdout);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "# read failed.\n");
    std::fclose(f);
}

TEST(Snapshot, RoundTripIsBitForBit) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    orbit_state odd = numbered(1);
    odd.t = -0.0;
    odd.w[0] = std::numeric_limits<double>::infinity();
    odd.w[1] = -std::numeric_limits<double>::infinity();
    odd.w[2] = std::numeric_limits<double>::quiet_NaN();
    odd.w[3] = -std::numeric_limits<double>::quiet_NaN();
    odd.w[4] = std::numeric_limits<double>::denorm_min();
    odd.w[5] = -0.0;
    odd.w[19] = std::numeric_limits<double>::max();
    std::uint64_t payload = 0x7FF4000000ABCDEFull;  // a signalling NaN with a payload
    std::memcpy(&odd.w[7], &payload, sizeof payload);
    const orbit_state plain[3] = {numbered(100), numbered(200), numbered(300)};
    // written out of order: every record finds its own place
    write_system_state(f, 2, plain[2]);
    write_system_state(f, 1, odd);
    write_system_state(f, 0, plain[0]);
    write_system_state(f, 3, plain[1]);
    EXPECT_EQ(file_size(f), 4 * record_bytes);
    orbit_state got;
    ASSERT_EQ(read_system_state(f, 1, got), 1);
    EXPECT_TRUE(same_bytes(got, odd));
    EXPECT_TRUE(std::signbit(got.t));
    ASSERT_EQ(read_system_state(f, 3, got), 1);
    EXPECT_TRUE(same_bytes(got, plain[1]));
    ASSERT_EQ(read_system_state(f, 0, got), 1);
    EXPECT_TRUE(same_bytes(got, plain[0]));
    ASSERT_EQ(read_system_state(f, 2, got), 1);
    EXPECT_TRUE(same_bytes(got, plain[2]));
    // the layout: t first, then w[0..19], in native byte order
    double raw[21];
    std::fseek(f, 2 * record_bytes, SEEK_SET);
    ASSERT_EQ(std::fread(raw, sizeof raw, 1, f), 1u);
    EXPECT_EQ(raw[0], plain[2].t);
    EXPECT_EQ(raw[1], plain[2].w[0]);
    EXPECT_EQ(raw[20], plain[2].w[19]);
    std::fclose(f);
}

TEST(Snapshot, PartialLastRecordFails) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    write_system_state(f, 0, numbered(1));
    write_system_state(f, 1, numbered(2));
    std::fseek(f, 0, SEEK_END);
    const char tail[100] = {1, 2, 3};
    std::fwrite(tail, sizeof tail, 1, f);
    EXPECT_EQ(file_size(f), 2 * record_bytes + 100);
    orbit_state got;
    ASSERT_EQ(read_system_state(f, 1, got), 1);
    EXPECT_TRUE(same_bytes(got, numbered(2)));
    testing::internal::CaptureStdout();
    const int result = read_system_state(f, 2, got);
    std::fflush(stdout);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "# read failed.\n");
    ASSERT_EQ(read_system_state(f, 0, got), 1);
    EXPECT_TRUE(same_bytes(got, numbered(1)));
    std::fclose(f);
}

TEST(Snapshot, NegativeIndexIsRefused) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    write_system_state(f, 0, numbered(1));
    std::fseek(f, 40, SEEK_SET);
    EXPECT_EQ(write_system_state(f, -1, numbered(5)), 0);
    EXPECT_EQ(std::ftell(f), 40) << "the stream was moved";
    EXPECT_EQ(file_size(f), record_bytes);
    orbit_state got = numbered(7);
    EXPECT_EQ(read_system_state(f, -1, got), 0);
    EXPECT_EQ(std::ftell(f), 40) << "the stream was moved";
    EXPECT_TRUE(same_bytes(got, numbered(7))) << "a refused read changed the record";
    orbit_state first;
    ASSERT_EQ(read_system_state(f, 0, first), 1);
    EXPECT_TRUE(same_bytes(first, numbered(1))) << "a refused write changed record 0";
    std::fclose(f);
}

}  // namespace
