#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kivo8/mt_support.h"
#include "kivo8/snmp_comm.h"
#include "kivo8/snmp_sess.h"
#include "snmp/message.h"
#include "snmp/pdu.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::uint32_t kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};

// A community entry of our own, as a search target's list would hold it.
struct Community {
  explicit Community(const char *text) : text(text) {
    entry.next = nullptr;
    entry.length = static_cast<int32_t>(this->text.size());
    entry.name = this->text.data();
  }
  std::string text;
  snmp_comm entry{};
};

struct PduDeleter {
  void operator()(snmp_pdu *p) const { snmp_free_pdu(p); }
};
using PduPtr = std::unique_ptr<snmp_pdu, PduDeleter>;

class Message : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mt_res_init(), 0); }
  void TearDown() override { mt_res_free(); }

  Bytes encode(snmp_pdu *pdu) {
    Bytes out(SNMP_PACKET_SIZE);
    std::uint32_t length = static_cast<std::uint32_t>(out.size());
    EXPECT_EQ(snmp_build(&session, pdu, out.data(), &length), 0);
    out.resize(length);
    return out;
  }

  Community vellum{"vellum"};
  snmp_session session{nullptr, -1, &vellum.entry, 0};
};

TEST_F(Message, GetRequestForSysDescrIsTheKnown48Bytes) {
  PduPtr pdu(snmp_create_pdu(SNMP_MSG_GET));
  ASSERT_TRUE(pdu);
  ASSERT_EQ(pdu->reqid, 1u);
  pdu->version = 0;
  ASSERT_NE(snmp_add_null_var(pdu.get(), kSysDescr, 9), nullptr);
  const Bytes expected = {0x30, 0x82, 0x00, 0x2C, 0x02, 0x01, 0x00, 0x04, 0x06, 'v',  'e',  'l',
                          'l',  'u',  'm',  0xA0, 0x82, 0x00, 0x1D, 0x02, 0x01, 0x01, 0x02, 0x01,
                          0x00, 0x02, 0x01, 0x00, 0x30, 0x82, 0x00, 0x10, 0x30, 0x82, 0x00, 0x0C,
                          0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00, 0x05, 0x00};
  EXPECT_EQ(encode(pdu.get()), expected);
  EXPECT_EQ(pdu->errstat, 0);
  EXPECT_EQ(pdu->errindex, 0);
}

}  // namespace
