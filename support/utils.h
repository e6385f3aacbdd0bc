// Host, address and timing utilities.
#pragma once

#include <sys/time.h>

#include <string>
#include <vector>

// The dotted IPv4 address the server binds to: the last address of the 11.0.0.0/8 network
// that the system lists, else the last 127.x.x.x address, else an empty text. The interface
// name does not take part in the choice. Prints one "-> address" line per IPv4 address.
std::string get_ip_address(const std::string& interface);

// Every IPv4 address of every network interface, in the order the system lists them.
std::vector<std::string> list_ipv4_addresses();

// The choice rule of get_ip_address applied to a given list, with its "-> " lines.
std::string choose_ip_address(const std::vector<std::string>& addresses);

// Sleeps for the given number of seconds; a negative time does not wait.
void DAQwait(double seconds);

// Seconds elapsed on the wall clock since the given instant.
double time_elapsed(const timeval* since);
// Seconds from `since` to `now`, the microseconds borrowed as time_elapsed borrows them.
double seconds_between(const timeval& since, timeval now);

// The host name, or an empty text when it cannot be read.
std::string get_this_host();
