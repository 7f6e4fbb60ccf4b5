// Runs a step with an ordinary user's file permissions, so that tests of refused reads and
// writes mean the same when the suite runs as root, whom permission bits do not bind.
#pragma once

#include <sys/fsuid.h>
#include <unistd.h>

namespace velbrook::test {

template <typename Step>
void AsOtherUser(Step&& step) {
    const bool root = ::geteuid() == 0;
    if (root) {
        ::setfsuid(65534);  // nobody
    }
    step();
    if (root) {
        ::setfsuid(0);
    }
}

}  // namespace velbrook::test
