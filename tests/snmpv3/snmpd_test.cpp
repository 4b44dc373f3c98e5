// SNMPv3 sessions against net-snmp's snmpd: every authentication and privacy protocol it
// supports, one user per security level, the error Reports turned into their codes, and
// an agent restarted between two requests.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kivo8/mt_support.h"
#include "kivo8/snmpv3.h"
#include "support/peers.h"
#include "support/snmp_agents.h"

namespace {

using kivo8::test::Snmpd;
using kivo8::test::SnmpdConfig;

struct Proto {
  const char *net_snmp;
  int32_t code;
};
const Proto kAuth[] = {{"MD5", KIVO_SNMPV3_AUTH_MD5},       {"SHA", KIVO_SNMPV3_AUTH_SHA},
                       {"SHA-224", KIVO_SNMPV3_AUTH_SHA224}, {"SHA-256", KIVO_SNMPV3_AUTH_SHA256},
                       {"SHA-384", KIVO_SNMPV3_AUTH_SHA384}, {"SHA-512", KIVO_SNMPV3_AUTH_SHA512}};
const Proto kPriv[] = {{"", 0},
                       {"DES", KIVO_SNMPV3_PRIV_DES},
                       {"AES", KIVO_SNMPV3_PRIV_AES},
                       {"AES-192", KIVO_SNMPV3_PRIV_AES192},
                       {"AES-256", KIVO_SNMPV3_PRIV_AES256}};

constexpr const char *kAuthPass = "ink-and-paper";
constexpr const char *kPrivPass = "toner-secret";

std::string user_name(const Proto &a, const Proto &p) {
  std::string n = std::string("u-") + a.net_snmp + (p.code != 0 ? std::string("-") + p.net_snmp : "");
  return n;
}

// One user per protocol pair (authNoPriv and authPriv) and one without security.
SnmpdConfig v3_config() {
  SnmpdConfig c;
  for (const auto &a : kAuth)
    for (const auto &p : kPriv) {
      std::string user = user_name(a, p);
      std::string line = "createUser " + user + " " + a.net_snmp + " " + kAuthPass;
      if (p.code != 0) line += std::string(" ") + p.net_snmp + " " + kPrivPass;
      c.extra_lines.push_back(line);
      c.extra_lines.push_back("rouser " + user + (p.code != 0 ? " priv" : " auth") + " -V kv");
    }
  c.extra_lines.push_back("createUser u-none");
  c.extra_lines.push_back("rouser u-none noauth -V kv");
  return c;
}

struct SessionFree {
  void operator()(kivo_snmpv3_session *s) const { kivo_snmpv3_free(s); }
};
using Session = std::unique_ptr<kivo_snmpv3_session, SessionFree>;

struct Creds {
  std::string user;
  int32_t level;
  int32_t auth;
  std::string auth_pass;
  int32_t priv;
  std::string priv_pass;
};

Session open(const Snmpd &agent, const Creds &c, int32_t *code = nullptr) {
  kivo_snmpv3_options o{};
  o.size = sizeof o;
  o.user = c.user.c_str();
  o.level = c.level;
  o.auth_protocol = c.auth;
  o.auth_password = c.auth_pass.c_str();
  o.priv_protocol = c.priv;
  o.priv_password = c.priv_pass.c_str();
  o.port = static_cast<uint16_t>(agent.port());
  o.timeout_ms = 1500;
  o.retries = 1;
  in_addr a = agent.address();
  int32_t local = 0;
  Session s(kivo_snmpv3_create(&a, &o, code != nullptr ? code : &local));
  return s;
}

// A value as net-snmp prints it, for the types this agent's view holds.
std::string show(const snmp_var *v) {
  std::string name;
  for (uint32_t i = 0; i < v->name_length; ++i) name += "." + std::to_string(v->name[i]);
  std::string value;
  switch (v->type) {
    case SNMP_TYPE_OCTET_STR:
      value = "STRING: \"" + std::string(reinterpret_cast<const char *>(v->value), v->value_length) + "\"";
      break;
    case SNMP_TYPE_INTEGER:
      value = "INTEGER: " + std::to_string(*reinterpret_cast<const int32_t *>(v->value));
      break;
    case SNMP_TYPE_OBJECT_ID: {
      value = "OID: ";
      const auto *sub = reinterpret_cast<const uint32_t *>(v->value);
      for (uint32_t i = 0; i < v->value_length / 4; ++i) value += "." + std::to_string(sub[i]);
      break;
    }
    case SNMP_TYPE_TIMETICKS: {
      const uint32_t t = *reinterpret_cast<const uint32_t *>(v->value);
      char text[64];
      std::snprintf(text, sizeof text, "Timeticks: (%u) %u:%02u:%02u.%02u", t, t / 360000,
                    t / 6000 % 60, t / 100 % 60, t % 100);
      value = text;
      break;
    }
    case SNMP_NOSUCHOBJECT:
      value = "No Such Object available on this agent at this OID";
      break;
    default:
      value = "type " + std::to_string(v->type);
  }
  return name + " = " + value;
}

std::string net_snmp_args(const Creds &c, const Snmpd &agent) {
  std::string args = "-v3 -u " + c.user + " -t 2 -r 1";
  if (c.level == KIVO_SNMPV3_NOAUTH_NOPRIV) args += " -l noAuthNoPriv";
  for (const auto &a : kAuth)
    if (a.code == c.auth && c.level >= KIVO_SNMPV3_AUTH_NOPRIV)
      args += std::string(c.level == KIVO_SNMPV3_AUTH_PRIV ? " -l authPriv" : " -l authNoPriv") +
              " -a " + a.net_snmp + " -A " + c.auth_pass;
  for (const auto &p : kPriv)
    if (p.code == c.priv && c.level == KIVO_SNMPV3_AUTH_PRIV)
      args += std::string(" -x ") + p.net_snmp + " -X " + c.priv_pass;
  return args + " " + agent.endpoint();
}

uint32_t kSysName[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
uint32_t kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
uint32_t kSysContact[] = {1, 3, 6, 1, 2, 1, 1, 4};
uint32_t kSystem[] = {1, 3, 6, 1, 2, 1, 1};
const snmp_oid kSysNameOnly[] = {{kSysName, 9}, {nullptr, 0}};

class SnmpdV3 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(mt_res_init(), 0); }
  void SetUp() override {
    KIVO8_REQUIRE_PROGRAM("snmpd");
    agent_ = std::make_unique<Snmpd>(v3_config());
    ASSERT_TRUE(agent_->ok());
  }
  std::unique_ptr<Snmpd> agent_;
};

std::vector<Creds> every_user() {
  std::vector<Creds> all;
  all.push_back({"u-none", KIVO_SNMPV3_NOAUTH_NOPRIV, 0, "", 0, ""});
  for (const auto &a : kAuth)
    for (const auto &p : kPriv)
      all.push_back({user_name(a, p), p.code != 0 ? KIVO_SNMPV3_AUTH_PRIV : KIVO_SNMPV3_AUTH_NOPRIV,
                     a.code, kAuthPass, p.code, kPrivPass});
  return all;
}

TEST_F(SnmpdV3, GetGetnextAndWalkEqualNetSnmpForEveryProtocolPair) {
  const snmp_oid get_names[] = {{kSysName, 9}, {kSysDescr, 9}, {nullptr, 0}};
  const snmp_oid next_names[] = {{kSysContact, 8}, {nullptr, 0}};
  const snmp_oid walk_root[] = {{kSystem, 7}, {nullptr, 0}};
  for (const Creds &c : every_user()) {
    SCOPED_TRACE(c.user);
    int32_t code = 0;
    Session s = open(*agent_, c, &code);
    ASSERT_TRUE(s) << kivo_snmpv3_strerror(code);

    snmp_pdu *r = nullptr;
    ASSERT_EQ(kivo_snmpv3_get(s.get(), get_names, &r), SNMP_ERR_NONE);
    std::string ours;
    for (const snmp_var *v = r->variables; v != nullptr; v = v->next) ours += show(v) + "\n";
    EXPECT_EQ(r->version, SNMP_VERSION_3);
    snmp_free_pdu(r);
    EXPECT_EQ(ours, agent_->tool("snmpget", net_snmp_args(c, *agent_) +
                                                " .1.3.6.1.2.1.1.5.0 .1.3.6.1.2.1.1.1.0"));

    ASSERT_EQ(kivo_snmpv3_getnext(s.get(), next_names, &r), SNMP_ERR_NONE);
    ours = show(r->variables) + "\n";
    snmp_free_pdu(r);
    EXPECT_EQ(ours, agent_->tool("snmpgetnext", net_snmp_args(c, *agent_) + " .1.3.6.1.2.1.1.4"));

    snmp_pdu_list *list = nullptr;
    ASSERT_EQ(kivo_snmpv3_walk(s.get(), walk_root, &list), SNMP_ERR_NONE);
    ours.clear();
    for (const snmp_pdu_list *n = list; n != nullptr; n = n->next)
      for (const snmp_var *v = n->pdu->variables; v != nullptr; v = v->next) ours += show(v) + "\n";
    snmp_free_pdu_list(list);
    EXPECT_EQ(ours, agent_->tool("snmpwalk", net_snmp_args(c, *agent_) + " .1.3.6.1.2.1.1"));
  }
}

TEST_F(SnmpdV3, BulkWalkEqualsNetSnmpsBulkWalk) {
  KIVO8_REQUIRE_PROGRAM("snmpbulkwalk");
  uint32_t everything[] = {1, 3, 6, 1};
  const snmp_oid root[] = {{everything, 4}, {nullptr, 0}};
  const std::vector<Creds> all = every_user();
  // No security, and authPriv with the strongest and the weakest protocols.
  for (const Creds &c : {all.front(), all[2], all.back()}) {
    for (uint32_t reps : {1u, 5u, 50u}) {
      SCOPED_TRACE(c.user + " -Cr" + std::to_string(reps));
      int32_t code = 0;
      Session s = open(*agent_, c, &code);
      ASSERT_TRUE(s) << kivo_snmpv3_strerror(code);
      kivo_walk_options o{};
      o.size = sizeof o;
      o.max_repetitions = reps;
      snmp_pdu_list *list = nullptr;
      ASSERT_EQ(kivo_snmpv3_bulkwalk(s.get(), root, &o, &list), SNMP_ERR_NONE);
      std::string ours;
      for (const snmp_pdu_list *n = list; n != nullptr; n = n->next)
        for (const snmp_var *v = n->pdu->variables; v != nullptr; v = v->next)
          ours += show(v) + "\n";
      snmp_free_pdu_list(list);
      std::string theirs;
      std::istringstream lines(agent_->tool(
          "snmpbulkwalk", "-Cr" + std::to_string(reps) + " " + net_snmp_args(c, *agent_) + " .1.3.6.1"));
      for (std::string line; std::getline(lines, line);)
        if (line.find("No more variables") == std::string::npos) theirs += line + "\n";
      EXPECT_GT(ours.size(), 200u);
      EXPECT_EQ(ours, theirs);
    }
  }
}

TEST_F(SnmpdV3, ErrorReportsBecomeTheirCodes) {
  const snmp_oid *names = kSysNameOnly;
  struct {
    const char *name;
    Creds creds;
    int32_t want;
  } cases[] = {
      {"unknown user", {"nobody-here", KIVO_SNMPV3_NOAUTH_NOPRIV, 0, "", 0, ""}, KIVO_SNMPV3_ERR_UNKNOWN_USER},
      {"wrong auth password",
       {"u-SHA-256-AES", KIVO_SNMPV3_AUTH_PRIV, KIVO_SNMPV3_AUTH_SHA256, "wrong-password", KIVO_SNMPV3_PRIV_AES, kPrivPass},
       KIVO_SNMPV3_ERR_WRONG_DIGEST},
      {"wrong auth protocol",
       {"u-SHA-256", KIVO_SNMPV3_AUTH_NOPRIV, KIVO_SNMPV3_AUTH_MD5, kAuthPass, 0, ""},
       KIVO_SNMPV3_ERR_WRONG_DIGEST},
      // snmpd drops a message it cannot decrypt into something that decodes, without a
      // Report; net-snmp's snmpget times out too. The Report's own code is checked
      // against the tests' responder.
      {"wrong priv password",
       {"u-SHA-AES", KIVO_SNMPV3_AUTH_PRIV, KIVO_SNMPV3_AUTH_SHA, kAuthPass, KIVO_SNMPV3_PRIV_AES, "wrong-password"},
       SNMP_ERR_TIMEOUT},
      {"auth level for a user without auth",
       {"u-none", KIVO_SNMPV3_AUTH_NOPRIV, KIVO_SNMPV3_AUTH_SHA, kAuthPass, 0, ""},
       KIVO_SNMPV3_ERR_UNSUPPORTED_LEVEL},
      {"priv level for a user without priv",
       {"u-MD5", KIVO_SNMPV3_AUTH_PRIV, KIVO_SNMPV3_AUTH_MD5, kAuthPass, KIVO_SNMPV3_PRIV_DES, kPrivPass},
       KIVO_SNMPV3_ERR_UNSUPPORTED_LEVEL},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Session s = open(*agent_, c.creds);
    ASSERT_TRUE(s);
    snmp_pdu *r = nullptr;
    EXPECT_EQ(kivo_snmpv3_get(s.get(), names, &r), c.want) << kivo_snmpv3_strerror(c.want);
    EXPECT_EQ(r, nullptr);
  }
}

TEST_F(SnmpdV3, BadOptionsAreRefusedBeforeAnythingIsSent) {
  struct {
    const char *name;
    Creds creds;
  } cases[] = {
      {"empty user", {"", KIVO_SNMPV3_NOAUTH_NOPRIV, 0, "", 0, ""}},
      {"user of 33 octets", {std::string(33, 'u'), KIVO_SNMPV3_NOAUTH_NOPRIV, 0, "", 0, ""}},
      {"short auth password", {"u-MD5", KIVO_SNMPV3_AUTH_NOPRIV, KIVO_SNMPV3_AUTH_MD5, "seven77", 0, ""}},
      {"no auth protocol", {"u-MD5", KIVO_SNMPV3_AUTH_NOPRIV, 0, kAuthPass, 0, ""}},
      {"unknown priv protocol",
       {"u-MD5-DES", KIVO_SNMPV3_AUTH_PRIV, KIVO_SNMPV3_AUTH_MD5, kAuthPass, 9, kPrivPass}},
      {"level 4", {"u-none", 4, 0, "", 0, ""}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    int32_t code = 0;
    EXPECT_FALSE(open(*agent_, c.creds, &code));
    EXPECT_EQ(code, KIVO_SNMPV3_ERR_OPTIONS);
  }
}

// The agent restarted with its persistent files: same engine id, boots one higher. The
// session's next request meets "not in time window", re-sends once with the new boots
// and time, and succeeds.
TEST_F(SnmpdV3, RestartedAgentIsResynchronisedOnce) {
  const snmp_oid *names = kSysNameOnly;
  Session s = open(*agent_, {"u-SHA-AES", KIVO_SNMPV3_AUTH_PRIV, KIVO_SNMPV3_AUTH_SHA, kAuthPass,
                             KIVO_SNMPV3_PRIV_AES, kPrivPass});
  ASSERT_TRUE(s);
  snmp_pdu *r = nullptr;
  ASSERT_EQ(kivo_snmpv3_get(s.get(), names, &r), SNMP_ERR_NONE);
  snmp_free_pdu(r);
  uint8_t before[32], after[32];
  uint32_t before_n = sizeof before, after_n = sizeof after;
  ASSERT_EQ(kivo_snmpv3_engine_id(s.get(), before, &before_n), 0);
  ASSERT_TRUE(agent_->restart());
  ASSERT_EQ(kivo_snmpv3_get(s.get(), names, &r), SNMP_ERR_NONE);
  snmp_free_pdu(r);
  ASSERT_EQ(kivo_snmpv3_engine_id(s.get(), after, &after_n), 0);
  EXPECT_EQ(std::string(before, before + before_n), std::string(after, after + after_n));
}

// ---- kivo get / walk -v 3 ----

std::string quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string kivo(const kivo8::test::TempDir &home, const std::string &args, int *status = nullptr) {
  return kivo8::test::sh_output("HOME=" + quote(home.path()) + " LANG=C.UTF-8 " +
                                    quote(kivo8::test::binary_dir() + "/tools/kivo/kivo") + " " +
                                    args + " 2>&1",
                                status);
}

TEST_F(SnmpdV3, KivoPrintsWhatNetSnmpPrintsForEveryProtocolPair) {
  kivo8::test::TempDir home;
  for (const Creds &c : every_user()) {
    SCOPED_TRACE(c.user);
    const std::string args = net_snmp_args(c, *agent_);
    const std::string get_names = " .1.3.6.1.2.1.1.5.0 .1.3.6.1.2.1.1.2.0";
    EXPECT_EQ(kivo(home, "get -v 3 " + args.substr(4) + get_names),
              agent_->tool("snmpget", args + get_names));
    EXPECT_EQ(kivo(home, "walk -v 3 " + args.substr(4) + " .1.3.6.1.2.1.1"),
              agent_->tool("snmpwalk", args + " .1.3.6.1.2.1.1"));
  }
  int status = 0;
  std::string out = kivo(home, "get -v 3 -u nobody -t 1 -r 0 " + agent_->endpoint() + " .1.3.6.1.2.1.1.5.0", &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(out, "kivo get: unknown user name\n");
}

TEST_F(SnmpdV3, CredentialsAreSavedOnlyWhenAskedInAPrivateFileAndNeverPrinted) {
  kivo8::test::TempDir home;
  const std::string endpoint = agent_->endpoint();
  int status = 0;
  // Without saved credentials, the user alone cannot authenticate.
  kivo(home, "get -v 3 -u u-SHA-AES " + endpoint + " .1.3.6.1.2.1.1.5.0", &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(access(home.file(".kivo/snmpv3-users").c_str(), F_OK), 0);

  kivo(home, std::string("credentials add u-SHA-AES -l authPriv -a SHA -A ") + kAuthPass +
                 " -x AES -X " + kPrivPass, &status);
  ASSERT_EQ(status, 0);
  struct stat st{};
  ASSERT_EQ(stat(home.file(".kivo/snmpv3-users").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string listed = kivo(home, "credentials list", &status);
  EXPECT_EQ(listed, "u-SHA-AES\tauthPriv\tSHA\tAES\n");
  std::string got = kivo(home, "get -v 3 -u u-SHA-AES " + endpoint + " .1.3.6.1.2.1.1.5.0", &status);
  EXPECT_EQ(status, 0) << got;
  EXPECT_EQ(got, ".1.3.6.1.2.1.1.5.0 = STRING: \"kv-agent\"\n");

  // --save-credentials on a request; the preference file never holds a pass phrase.
  got = kivo(home, std::string("get -v 3 -u u-MD5-DES -l authPriv -a MD5 -A ") + kAuthPass +
                       " -x DES -X " + kPrivPass + " --save-credentials " + endpoint +
                       " .1.3.6.1.2.1.1.5.0", &status);
  EXPECT_EQ(status, 0) << got;
  got = kivo(home, "walk -v 3 -u u-MD5-DES " + endpoint + " .1.3.6.1.2.1.1.5", &status);
  EXPECT_EQ(got, ".1.3.6.1.2.1.1.5.0 = STRING: \"kv-agent\"\n");
  std::string pref = kivo8::test::sh_output("cat " + quote(home.file(".kivo/kivo2.pref")) + " 2>/dev/null; true");
  EXPECT_EQ(pref.find(kAuthPass), std::string::npos);
  EXPECT_EQ(kivo(home, "credentials list").find(kAuthPass), std::string::npos);
  kivo(home, "credentials remove u-SHA-AES", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(kivo(home, "credentials list"), "u-MD5-DES\tauthPriv\tMD5\tDES\n");
}

}  // namespace
