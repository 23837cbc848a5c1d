// Network isolation for tests: a private network namespace with only the
// loopback interface, up. Nothing a test sends can leave the machine, and
// ports (111 above all) never collide with the host's or another test's.
#pragma once

// Moves the calling process into a new network namespace and brings "lo"
// up. Call before any thread starts. False when not allowed (not root).
bool netns_enter_private();
// Whether netns_enter_private succeeded in this process.
bool netns_private();
