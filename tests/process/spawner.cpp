// Starts two children through the program's own starter, one of them in a session of its own
// and deaf to SIGTERM, prints their pids on one line, then waits to be killed.
#include "process/ChildProcess.h"

#include <unistd.h>
#include <cstdio>

int main() {
    int startError = 0;
    const bq::ChildSpec plain = bq::Command(QStringLiteral("sleep"), {QStringLiteral("300")});
    bq::ChildSpec deaf =
        bq::Command(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"), QStringLiteral("trap '' TERM; sleep 301; sleep 302")});
    deaf.ownSession = true;
    std::optional<bq::ChildProcess> first = bq::ChildProcess::Start(plain, startError);
    std::optional<bq::ChildProcess> second = bq::ChildProcess::Start(deaf, startError);
    if (!first || !second) {
        return 1;
    }
    std::printf("%d %d\n", static_cast<int>(first->pid()), static_cast<int>(second->pid()));
    std::fflush(stdout);
    pause();
    return 0;
}
