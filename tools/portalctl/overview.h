// What portalctl tells without the daemon's help (control requests get no answer): the
// clients online from the registration file, with the time each has left where the admission
// component (admitd, admitsim) tells; the daemon's state; and whether a cut, a removed account
// or a withdrawn MAC address matched anything.
#pragma once

#include <string>

namespace portalctl {

// Print the list or the state, as text or one JSON object; return the exit status (status:
// 0 while portald runs, 3 when it does not).
int list_command(const std::string& admit_socket, bool json);
int status_command(const std::string& admit_socket, bool json);

// Each returns the empty text when the request will find what it names, otherwise a sentence
// saying that nothing matched and where portalctl looked.
std::string cut_unmatched(const std::string& ip, const std::string& admit_socket);
std::string remove_unmatched(const std::string& name);
std::string revoke_unmatched(const std::string& mac, const std::string& admit_socket);

}  // namespace portalctl
