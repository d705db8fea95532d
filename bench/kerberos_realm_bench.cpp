// What the throwaway Kerberos realm of the tests costs: set-up (kdb5_util,
// kadmin.local, krb5kdc started and answering), a service principal and its
// keytab, a ticket, and tear-down; and, once, a ticket waited out until it
// has expired. See bench/README.md.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness/kerberos_realm.h"

int main(int argc, char** argv) {
    int runs = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    }
    using Clock = std::chrono::steady_clock;
    const auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        {
            quellmark::test::KerberosRealm realm;
            realm.RegisterService("localhost", 14333);
            realm.Kinit("ops");
        }
        times.push_back(ms(Clock::now() - start));
    }
    const auto start = Clock::now();
    {
        quellmark::test::KerberosRealm realm;
        realm.KinitExpired("ops");
    }
    const double expired = ms(Clock::now() - start);
    std::sort(times.begin(), times.end());
    std::printf("realm_median_ms=%.0f realm_max_ms=%.0f expired_ticket_ms=%.0f runs=%d\n", times[times.size() / 2],
                times.back(), expired, runs);
}
