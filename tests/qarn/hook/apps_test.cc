// The table of named applications: every mark the checks set, byte for byte, what a set keeps
// of the mark it finds, and that every row names its own mark.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

extern "C" {
#include "recognise/apps.h"
}

namespace {

TEST(AppsTest, EveryApplicationSetsItsMark) {
  const struct {
    qarn_app app;
    uint32_t word;  // set on a mark of 0
  } rows[] = {
      {QARN_APP_NONE, 0x0},
      {QARN_APP_GAME_SERVER, 0x10401},
      {QARN_APP_GAME_UDP, 0x10403},
      {QARN_APP_DNS, 0x23001},
      {QARN_APP_WEB_FIRST, 0x32800},
      {QARN_APP_WEB_PAGE, 0x42c01},
      {QARN_APP_FTP, 0x42c05},
      {QARN_APP_CONFERENCE, 0x50400},
      {QARN_APP_REPLY_RATE, 0x5c802},
      {QARN_APP_P2P_BULK, 0x5c803},
      {QARN_APP_FRAMED, 0x6cc01},
      {QARN_APP_WEB_VIDEO, 0x7d001},
      {QARN_APP_P2P_SIGNATURE, 0x7d03f},
      {QARN_APP_P2P_KIND_34, 0x8d409},
      {QARN_APP_P2P_KIND_95, 0x8d40d},
      {QARN_APP_P2P_KIND_3, 0x8d40c},
      {QARN_APP_WEB_DOWNLOAD, 0x9d802},
      {QARN_APP_P2P_STREAM, 0xae401},
      {QARN_APP_UPLOAD, 0xae403},
      {QARN_APP_RANGED_DOWNLOAD, 0xae404},
      {QARN_APP_VIDEO_SERVICE, 0xae400},
      {QARN_APP_EMAIL, 0xb3400},
      {QARN_APP_OUTSIDE, 0xc0800},
      {QARN_APP_GAME_FLOW, 0x10404},
      {QARN_APP_NTP, 0x23002},
      {QARN_APP_TLS, 0x42c06},
      {QARN_APP_QUIC, 0x42c07},
      {QARN_APP_SSH, 0x42c08},
      {QARN_APP_TLS_VIDEO, 0x7d002},
      {QARN_APP_QUIC_VIDEO, 0x7d003},
      {QARN_APP_FTP_DATA, 0x9d803},
      {QARN_APP_BITTORRENT, 0x8d414},
      {QARN_APP_BITTORRENT_DHT, 0x8d415},
      {QARN_APP_UTP, 0x8d416},
      {QARN_APP_OPENVPN, 0xd0001},
      {QARN_APP_WIREGUARD, 0xd0002},
      {QARN_APP_L2TP, 0xd0003},
      {QARN_APP_IKE, 0xd0004},
      {QARN_APP_VPN, 0xd0000},
      {QARN_APP_EXEMPT, 0x3f0000},
  };
  ASSERT_EQ(sizeof rows / sizeof rows[0], static_cast<size_t>(QARN_APP_COUNT));
  std::set<std::string> names;
  for (const auto& r : rows) {
    SCOPED_TRACE(qarn_apps[r.app].name);
    EXPECT_EQ(qarn_mark_word(r.app), r.word);
    EXPECT_EQ(qarn_app_of_mark(r.word), r.app) << "an earlier row shadows this one";
    names.insert(qarn_apps[r.app].name);
  }
  // the P2P verdicts share one name
  EXPECT_EQ(names.size(), static_cast<size_t>(QARN_APP_COUNT) - 5);
}

TEST(AppsTest, KeptFieldsAndHighBitsSurviveASet) {
  const uint32_t high = 0xffc00000u;
  const uint32_t old = high | 3u << 16 | 10u << 10 | 7u;  // 3/10/7
  EXPECT_EQ(qarn_mark_app(old, QARN_APP_CONFERENCE), high | 5u << 16 | 1u << 10 | 7u);
  EXPECT_EQ(qarn_mark_app(old, QARN_APP_VPN), high | 13u << 16 | 10u << 10 | 7u);
  EXPECT_EQ(qarn_mark_app(old, QARN_APP_EXEMPT), high | 63u << 16 | 10u << 10 | 7u);
  EXPECT_EQ(qarn_mark_app(old, QARN_APP_DNS), high | 0x23001u);
  EXPECT_EQ(qarn_mark_word(QARN_APP_FRAMED), 0x6cc01u);
}

TEST(AppsTest, MarksAreNamedFirstRowFirst) {
  // a video-service mark that kept id 4 reads as the ranged download, whose row comes first
  EXPECT_EQ(qarn_app_of_mark(0xae404), QARN_APP_RANGED_DOWNLOAD);
  EXPECT_EQ(qarn_app_of_mark(0xae409), QARN_APP_VIDEO_SERVICE);
  EXPECT_EQ(qarn_app_of_mark(0x50403), QARN_APP_CONFERENCE);
  EXPECT_EQ(qarn_app_of_mark(0xffc00000u | 0xd0000u | 5u << 10),
            QARN_APP_VPN);                               // bits 22-31 ignored
  EXPECT_EQ(qarn_app_of_mark(0x42c03), QARN_APP_COUNT);  // class 4 id 3: set by others
  EXPECT_EQ(qarn_app_of_mark(0x00001), QARN_APP_COUNT);
}

}  // namespace
