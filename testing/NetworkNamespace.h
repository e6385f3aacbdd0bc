// A network namespace of the calling process's own, so that every test process can run a
// testModule, which always binds UDP port 10000, without meeting the others.
#pragma once

// Moves the calling thread (and the processes it starts afterwards) into a new network
// namespace and brings its loopback interface up. Call it on the main thread before any
// socket is opened or child started. Once it has succeeded, later calls do nothing and return
// true. Returns false when the system does not permit it (not root); the caller then goes on
// in the shared namespace.
bool enter_private_network_namespace();

// Whether enter_private_network_namespace() has succeeded: the process is then alone on
// 127.0.0.1, and port 10000 is free unless it took it itself.
bool in_private_network_namespace();
