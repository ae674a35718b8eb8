// The daemon's fixed paths. On the router they are used as they stand; on a development host
// PORTALD_ROOT=DIR puts every one of them under DIR (DIR followed by the fixed path).
#pragma once

#include <string>

namespace core {

inline constexpr const char kLoginSocketPath[] = "/tmp/R3localsocket_login";
inline constexpr const char kControlSocketPath[] = "/tmp/R3localsocket";
inline constexpr const char kRegistrationFile[] = "/tmp/web_user_reg_file";
inline constexpr const char kAccountFile[] = "/disk/conf/nbuser.cfg";
inline constexpr const char kExemptMacFile[] = "/disk/conf/nbmac.cfg";
inline constexpr const char kExemptAddrFile[] = "/etc/nbip.cfg";
inline constexpr const char kWeixinDnsFile[] = "/etc/weixin_dns_file.conf";
inline constexpr const char kMailWhitelist[] = "/var/http/webemailwhitelist.txt";
inline constexpr const char kEmailGroupFile[] = "/tmp/emailgroupip.cfg";
// Held locked for the daemon's life: one daemon per root.
inline constexpr const char kLockFile[] = "/tmp/portald.lock";

// The fixed path as the daemon opens it: PORTALD_ROOT (read on every call) followed by
// the path, or the path itself when PORTALD_ROOT is unset or empty.
std::string fixed_path(const char* path);

}  // namespace core
