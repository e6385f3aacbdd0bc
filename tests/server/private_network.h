#pragma once

// True when the test process runs in a network namespace of its own with `lo` up, where the
// only address is 127.0.0.1 and port 10000 is free.
bool private_network_ready();
