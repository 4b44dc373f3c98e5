// net-snmp's SNMPv3 options for kivo get, walk and discover (-u -l -a -A -x -X -n), the
// user credentials saved on request in ~/.kivo/snmpv3-users, and `kivo credentials`.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common.h"
#include "kivo8/snmpv3.h"

namespace kivo {

struct V3Args {
  std::string user, level, auth, auth_pass, priv, priv_pass, context;
  bool save = false;
  // Master keys taken from the saved credentials when no pass phrase is given.
  std::vector<std::uint8_t> auth_key, priv_key;
};

// The SNMPv3 options: -u -l -a -A -x -X -n --save-credentials for get and walk
// (`get_walk`), -l -a -A -x -X for discover (beside its --v3-user) and credentials add.
std::vector<Option> v3_option_list(bool get_walk);
// What of them was given.
V3Args v3_args(const Parsed &parsed);

// The options as the library takes them, with what was not given filled in from the
// saved credentials of the same user; saves them first when asked to. Usage errors are
// thrown through `args`. The strings stay owned by `v3`.
kivo_snmpv3_options v3_options(const CommandErrors &args, V3Args &v3);

// Wipes the pass phrases and keys (once the library has derived its own from them).
void v3_forget_pass_phrases(V3Args &v3);

struct V3SessionFree {
  void operator()(kivo_snmpv3_session *s) const noexcept { kivo_snmpv3_free(s); }
};
using V3Session = std::unique_ptr<kivo_snmpv3_session, V3SessionFree>;

// The help lines for the options above.
extern const char kV3Help[];

int cmd_credentials(int argc, char **argv, int first);

}  // namespace kivo
