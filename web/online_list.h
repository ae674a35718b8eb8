// The clients online, as portald publishes them in the registration file; the reader is the
// client library's, shared with portalctl.
#pragma once

#include "registration_list.h"

namespace web {

using client::is_online;
using client::OnlineClient;
using client::parse_online_list;
using client::read_online_list;

}  // namespace web
