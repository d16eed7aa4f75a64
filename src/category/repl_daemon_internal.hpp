// The part of the daemon conversation that only repl_daemon.cpp and its tests use: the request
// line of one event.
#pragma once

#include <string>
#include <string_view>

namespace tolvern::category {

// `{"op":"event","event":<event as a JSON string>}` and a line break: one request line.
std::string event_request(std::string_view event);

}  // namespace tolvern::category
