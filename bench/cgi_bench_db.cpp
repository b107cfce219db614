// Fills a counter database for bench/cgi_bench.py: N hosts with visits spread over 60 days,
// M site pages with hits per day, and a few hundred referring sites. Not a benchmark itself.
// Usage: cgi_bench_db FILE [HOSTS] [PAGES]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "counterdb/UCounter.h"
#include "storage/Corvane.h"
#include "storage/Timers.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [HOSTS] [PAGES]\n", argv[0]);
        return 2;
    }
    int hosts = argc > 2 ? std::atoi(argv[2]) : 10000;
    int pages = argc > 3 ? std::atoi(argv[3]) : 500;
    StartStorageEngine();
    StartStorageTimers();
    int status = 0;
    {
        TRef<ICounter> counter = OpenCounter(argv[1]);
        if (!counter) {
            std::fprintf(stderr, "cannot open %s\n", argv[1]);
            status = 1;
        } else {
            TDateTime today = Now();
            for (int i = 0; i < hosts; ++i) {
                std::string ip = "10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
                                 std::to_string(i % 256);
                TDateTime when = today - (i % 60) - (i % 1440) / 1440.0;
                counter->RegisterVisit(ip, "http://site" + std::to_string(i % 300) + ".example/", when, true, true,
                                       true);
                counter->AddHitByDate(ip, "", when);
            }
            for (int p = 0; p < pages; ++p) {
                std::string node = "/section" + std::to_string(p % 20) + "/page" + std::to_string(p) + ".html";
                counter->AddNode(node);
                for (int h = 0; h <= p % 7; ++h) counter->RegisterNodeHit("10.0.0.1", node, true);
                for (int d = 0; d < 31; d += 3) counter->AddHitByDate("10.0.0.1", node, today - d);
            }
            CloseCounter(counter);
        }
    }
    StopStorageEngine();
    StopStorageTimers();
    return status;
}
