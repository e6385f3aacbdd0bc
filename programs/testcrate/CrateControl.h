// The requests of the crate's control socket (--control-socket): JSON objects, one a line, each
// answered by one line, {"ok": true, ...} or {"ok": false, "error": "..."}. A request is
// checked whole before anything is done, so one that is refused changes nothing.
//
//   {"request": "pause", "module": 3, "seconds": 2}   module 3 neither answers nor triggers
//                                                     for 2 s, then goes on
//   {"request": "power-cycle", "module": 3}           off and on: as at a fresh start
//   {"request": "kill", "module": 3}                  silent until switched on
//   {"request": "switch-on", "module": 3}             on again, as at a fresh start
//   {"request": "counters"}                           every module's state and counters
//
// Modules are numbered from 1, in the order of the command line's --module.
#pragma once

#include <string>
#include <string_view>

#include "testcrate/Crate.h"

// The reply line (without its newline) to a request line.
std::string answer_control_request(Crate& crate, std::string_view line);
