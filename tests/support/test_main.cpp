// The main of every unit test: the tests run in a private network namespace,
// so that host-name look-ups of made-up names (the exports reader resolves
// client words) never reach a name server, and every port is the test's own.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/netns.h"

int main(int argc, char **argv) {
    if (!netns_enter_private())
        fprintf(stderr, "note: no private network namespace (not root?); tests share the host's\n");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
